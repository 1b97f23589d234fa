#include "discovery/ListingJob.h"

#include "core/Cancellation.h"
#include "core/ErrorTrap.h"
#include "core/Folders.h"
#include "discovery/LinkScanner.h"
#include "discovery/ListingHost.h"
#include "discovery/PageFacts.h"
#include "discovery/PageRetrieval.h"
#include "net/RunSetup.h"

#include "discovery/BrowserListing.h"
#include "discovery/ChromiumDriver.h"
#include "discovery/RenderedListing.h"
#include "web/WebUrl.h"

#include "core/MemoryImageList.h"

#include <QProcess>
#include <QTimer>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QTimer>

#include <cctype>
#include <limits>
#include <utility>

namespace {

// Only blanks count as space here, as the filter test's own "trim" always did.
bool isBlank(const QString& text) {
    for (QChar c : text)
        if (c != u' ')
            return false;
    return true;
}

// What the classic scanner puts in front of a followed page's values: the page's folder.
QByteArray classicFolderOf(const QByteArray& pageUrl) {
    QByteArray folder = pageUrl;
    for (const char cut : {'?', '#'})
        if (const qsizetype at = folder.indexOf(cut); at >= 0)
            folder.truncate(at);
    return folder.left(qMax<qsizetype>(0, folder.lastIndexOf('/')));
}

} // namespace

ImageTypeFilter cutFilterText(const QString& text) {
    // An empty text cuts into no entries at all, not into one empty entry.
    QList<QByteArray> entries;
    if (!text.isEmpty())
        for (const QString& piece : text.split(u','))
            entries << piece.toUtf8();
    return ImageTypeFilter(std::move(entries));
}

QString BuildFilterText(bool jpg, bool gif, bool custom, const QString& customText) {
    QString text;
    if (jpg)
        text += QLatin1StringView("JPG,");
    if (gif)
        text += QLatin1StringView("GIF,");
    if (custom)
        text += customText;
    return text;
}

// The classic mode's run: the scanner, the page it reads, and where the stack of pages stands.
struct ListingJob::Classic {
    Classic(ListingJob& job, std::function<QByteArray()> address)
        : scanner(job.m_state, job.m_host.imageList(), std::move(address)),
          retrieval(job.m_state, scanner, job.m_host.messages(), job.m_setup.loop()) {}

    LinkScanner scanner;
    PageRetrieval retrieval;
    // The typed page's own fetch; the pages taken off the stack later are not fetched.
    PageVisit typedPage;
    QByteArray typedAddress;
    // Its bytes as fetched, where it finally came from and its type: its links are followed.
    QByteArray typedBytes;
    QByteArray typedFinal;
    QByteArray typedType;
    QByteArray typedBase;
    qint32 pass = 0;
    // A pass is being started; a visit told meanwhile ended at once.
    bool starting = false;
    bool visitedAtOnce = false;
};

// The browser mode's run: the one page, read while it arrives.
struct ListingJob::Browser {
    explicit Browser(ListingJob& job)
        : scanner(job.m_state, job.m_host.imageList(), [] { return QByteArray(); }),
          retrieval(job.m_state, scanner, job.m_host.messages(), job.m_setup.loop()),
          file(QDir::temp().filePath(QStringLiteral("HTML1-XXXXXX.tmp"))), held(job.m_host.imageList()),
          listing(held, job.m_state.ImageFilter) {}

    LinkScanner scanner;
    PageRetrieval retrieval;
    QByteArray address;
    QTemporaryFile file;
    // The page is read while it arrives; what it lists waits until the fetch has succeeded.
    HeldImageList held;
    BrowserListing listing;
    PageReader reader;
    QByteArray page;
    PageResponse response;
    std::unique_ptr<PageFetch> fetch;
    QObject context; // the turns of handing the listing over come through it
};

// The rendered mode's run: the page as Chromium shows it, with extra arguments for Chromium as a
// shell would split them (the tests pin its resolver).
struct ListingJob::Rendered {
    Rendered(ListingJob& job, const QString& program, const RenderedListing::Settings& settings)
        : driver(program, QProcess::splitCommand(qEnvironmentVariable("VARNOLUX_CHROMIUM_FLAGS"))),
          listing(driver, job.m_host.imageList(), job.m_state.ImageFilter, job.m_setup.options(), settings) {}

    ChromiumProcess driver;
    RenderedListing listing;
};

ListingJob::ListingJob(ListingHost& host, DiscoveryState& state, const net::RunSetup& setup)
    : m_host(host), m_state(state), m_setup(setup) {}

ListingJob::~ListingJob() = default;

void ListingJob::start(Ended ended) {
    ErrorTrap trap(m_host.messages(), trapTags::pushButton5);
    QString text;
    trap.step(100, [&] { text.clear(); });
    if (trap.condition(102, [&] { return m_host.filterTicked(FilterBox::Jpg); }))
        trap.step(104, [&] { text += QLatin1StringView("JPG,"); });
    if (trap.condition(106, [&] { return m_host.filterTicked(FilterBox::Gif); }))
        trap.step(108, [&] { text += QLatin1StringView("GIF,"); });
    if (trap.condition(110, [&] { return m_host.filterTicked(FilterBox::Custom); }))
        trap.step(112, [&] { text += m_host.customFilterText(); });
    Options options;
    options.find = m_host.findMode();
    options.follow.mode = m_host.followMode();
    options.largestOnly = m_host.largestSizesOnly();
    start(text, options, std::move(ended));
}

void ListingJob::start(const QString& filterText, Options options, Ended ended) {
    ErrorTrap trap(m_host.messages(), trapTags::pushButton5);
    MessageBoxes& messages = m_host.messages();
    QString text = filterText;
    m_options = options;
    m_ended = std::move(ended);
    // The browser's cookies belong to the rendered listing that got them, not to a later one.
    m_state.BrowserCookies.clear();

    if (trap.condition(114, [&] { return isBlank(text); })) {
        trap.step(158, [&] { messages.show(QStringLiteral("Select image filter first.")); });
        end(ListingOutcome::NoFilter);
        return;
    }
    if (trap.condition(116, [&] { return text.endsWith(u','); }))
        trap.step(118, [&] { text.chop(1); });
    trap.step(120, [&] { m_state.ImageFilter = cutFilterText(text); });
    m_state.FollowedFrom.clear();
    m_state.Facts.clear();
    trap.step(122, [&] { m_host.pointer().setPointer(Pointer::Busy); });
    trap.step(124, [&] { m_host.imageList().clear(); });
    if (options.checkFolder && trap.condition(126, [&] { return !FolderExists(m_host.folderText()); })) {
        trap.step(154, [&] { m_host.pointer().setPointer(Pointer::Default); });
        trap.step(156, [&] {
            messages.show(QStringLiteral("Folder does not exist. Please select another folder."));
        });
        end(ListingOutcome::NoFolder);
        return;
    }

    if (options.find == FindMode::Browser) {
        startBrowser();
        return;
    }
    if (options.find == FindMode::Rendered) {
        startRendered();
        return;
    }

    // The address box is read afresh for every link, but converted only when it has changed.
    m_classic = std::make_unique<Classic>(*this, [this, text = QString(), bytes = QByteArray()]() mutable {
        const QString now = m_host.addressText();
        if (now != text || bytes.isNull()) {
            text = now;
            bytes = now.toUtf8();
        }
        return bytes;
    });
    trap.step(128, [&] { m_state.PendingPages.emplace(); });
    trap.step(130, [&] { m_state.PendingPages.value().add(m_host.addressText().toUtf8()); });
    trap.step(132, [&] { m_classic->pass = 0; });
    nextPass();
}

void ListingJob::nextPass() {
    ErrorTrap trap(m_host.messages(), trapTags::pushButton5);
    Classic& c = *m_classic;
    // A page that is not fetched is visited at once: the passes go on here rather than deeper.
    for (;;) {
        if (!trap.condition(134, [&] { return m_state.PendingPages.value().count() >= 1; })) {
            classicEnded();
            return;
        }
        c.starting = true;
        c.visitedAtOnce = false;
        const bool started = trap.step(136, [&] {
            const QByteArray address = m_state.PendingPages.value().last();
            c.retrieval.GetUrls(m_host.imageList(), address, 1, c.pass, [this](const PageVisit& visit) {
                Classic& c = *m_classic;
                if (c.pass == 0) {
                    c.typedPage = visit;
                    c.typedAddress = m_state.PageAddress;
                    if (visit.fetch.ok() && visit.scanned) {
                        c.typedBytes = m_state.PageData;
                        c.typedFinal = m_state.refererPage();
                        c.typedType = m_state.PageContentType;
                        c.typedBase = m_state.PageBase;
                    }
                }
                if (c.starting) {
                    c.visitedAtOnce = true;
                    return;
                }
                passVisited();
            });
        });
        c.starting = false;
        // A step that failed is over as well: the pass goes on as after any other.
        if (started && !c.visitedAtOnce)
            return;
        if (!passEnds())
            return;
    }
}

void ListingJob::passVisited() {
    if (passEnds())
        nextPass();
}

bool ListingJob::passEnds() {
    ErrorTrap trap(m_host.messages(), trapTags::pushButton5);
    if (Cancellation::requested()) {
        m_state.PendingPages.reset();
        end(ListingOutcome::Cancelled);
        return false;
    }
    trap.step(138, [&] { m_state.PendingPages.value().removeLast(); });
    trap.step(140, [&] {
        if (m_classic->pass == std::numeric_limits<qint32>::max())
            throw StepFailure(QStringLiteral("Overflow"));
        ++m_classic->pass;
    });
    // Without a stack (it could not be made) the passes would never end.
    if (!m_state.PendingPages) {
        classicEnded();
        return false;
    }
    return true;
}

void ListingJob::classicEnded() {
    ErrorTrap trap(m_host.messages(), trapTags::pushButton5);
    const Classic& c = *m_classic;
    trap.step(142, [&] { m_state.PendingPages.reset(); });
    if (m_options.readFacts && c.typedPage.fetch.ok() && c.typedPage.scanned)
        keepFacts(readPageFacts(c.typedBytes, c.typedType, {c.typedFinal, true, c.typedBase}));
    if (c.typedPage.fetch.ok() && c.typedPage.scanned && m_options.follow.mode != FollowMode::None) {
        follow(followLinksOfPage(c.typedBytes, c.typedFinal, c.typedType, m_options.follow.mode,
                                 m_state.ImageFilter),
               c.typedFinal, [this] { classicFinished(); });
        return;
    }
    classicFinished();
}

void ListingJob::classicFinished() {
    ErrorTrap trap(m_host.messages(), trapTags::pushButton5);
    MessageBoxes& messages = m_host.messages();
    const Classic& c = *m_classic;
    // Stopped while its links were followed: what was listed stays, and the run says so.
    if (Cancellation::requested()) {
        end(ListingOutcome::Cancelled);
        return;
    }
    // A page that could not be fetched is a failure and is reported as one, never as "Done.".
    const bool fetched = c.typedPage.fetch.ok();
    if (!fetched)
        trap.step(150, [&] { messages.show(pageFetchFailure(c.typedAddress, c.typedPage.fetch)); });
    else if (m_options.announceDone)
        trap.step(150, [&] { messages.show(doneText(m_followed, m_followFailures)); });
    trap.step(152, [&] { m_host.pointer().setPointer(Pointer::Default); });
    end(fetched ? ListingOutcome::Done : ListingOutcome::FetchFailed);
}

void ListingJob::startBrowser() {
    m_browser = std::make_unique<Browser>(*this);
    Browser& b = *m_browser;
    b.listing.setLargestOnly(m_options.largestOnly);
    // The address as the classic run makes it ("site/dir" is http://site/dir/).
    b.retrieval.SetPageAddress(m_host.addressText().toUtf8());
    b.address = m_state.PageAddress;
    b.reader = PageReader{
        .started =
            [this](const PageResponse& response) {
                Browser& b = *m_browser;
                b.listing.begin(response.finalUrl.isEmpty() ? b.address : response.finalUrl,
                                response.contentType);
            },
        .arrived = [this](QByteArrayView soFar) { m_browser->listing.feed(soFar, false); },
    };
    const auto fetched = [this](const net::Result& result) { browserFetched(result); };
    if (b.file.open()) {
        b.fetch = DownloadToFile(m_setup.loop(), b.address, b.file, fetched, &b.page, &b.response, &b.reader);
        return;
    }
    browserFetched(
        net::Result(net::Status::LocalFile,
                    QStringLiteral("a temporary file could not be created (%1)").arg(b.file.errorString())));
}

void ListingJob::browserFetched(const net::Result& fetched) {
    Browser& b = *m_browser;
    if (fetched.ok()) {
        // The bytes were kept as they arrived; the file is read back only if the two disagree.
        if (b.page.size() != b.file.size()) {
            b.file.seek(0);
            b.page = b.file.readAll();
            // What was read as it arrived is not the page: it is read again, whole.
            b.listing.begin(b.response.finalUrl.isEmpty() ? b.address : b.response.finalUrl,
                            b.response.contentType);
            b.held.discard();
        }
        closeWithoutWaiting(b.file);
        b.file.remove();
        const QByteArray pageUrl = b.response.finalUrl.isEmpty() ? b.address : b.response.finalUrl;
        // A page whose reading never began is read whole here.
        if (!b.listing.begun())
            b.listing.begin(pageUrl, b.response.contentType);
        b.listing.feed(b.page, true);
        commitBrowserListing(fetched);
        return;
    }
    browserEnded(fetched);
}

void ListingJob::commitBrowserListing(const net::Result& fetched) {
    // About a frame's time per turn: tens of thousands of entries never hold the window up long.
    constexpr qint64 sliceMs = 16;
    Browser& b = *m_browser;
    if (Cancellation::requested())
        b.held.commit();
    else if (!b.held.commitFor(sliceMs)) {
        QTimer::singleShot(0, &b.context, [this, fetched] { commitBrowserListing(fetched); });
        return;
    }
    browserEnded(fetched);
}

void ListingJob::browserEnded(const net::Result& fetched) {
    Browser& b = *m_browser;
    if (fetched.ok() && m_options.readFacts && !Cancellation::requested())
        keepFacts(
            readPageFacts(b.page, b.response.contentType,
                          {b.response.finalUrl.isEmpty() ? b.address : b.response.finalUrl, false, {}}));
    if (fetched.ok() && m_options.follow.mode != FollowMode::None && !Cancellation::requested()) {
        const QByteArray pageUrl = b.response.finalUrl.isEmpty() ? b.address : b.response.finalUrl;
        follow(followLinksOfPage(b.page, pageUrl, b.response.contentType, m_options.follow.mode,
                                 m_state.ImageFilter),
               pageUrl, [this, fetched] { browserFinished(fetched); });
        return;
    }
    browserFinished(fetched);
}

void ListingJob::browserFinished(const net::Result& fetched) {
    if (Cancellation::requested()) {
        end(ListingOutcome::Cancelled);
        return;
    }
    MessageBoxes& messages = m_host.messages();
    if (!fetched.ok())
        messages.show(pageFetchFailure(m_state.PageAddress, fetched));
    else if (m_options.announceDone)
        messages.show(doneText(m_followed, m_followFailures));
    m_host.pointer().setPointer(Pointer::Default);
    end(fetched.ok() ? ListingOutcome::Done : ListingOutcome::FetchFailed);
}

void ListingJob::follow(const QList<QByteArray>& links, const QByteArray& pageUrl,
                        std::function<void()> then) {
    const QList<QByteArray> targets = followTargets(links, pageUrl, m_options.follow);
    if (targets.isEmpty() || Cancellation::requested()) {
        then();
        return;
    }
    m_followed = int(targets.size());
    m_followedFacts.clear();
    LinkFollower::Hooks hooks;
    if (m_options.find == FindMode::Rendered)
        hooks.readLater = [this](const FollowedPage& page, LinkFollower::Hooks::ReadDone done) {
            renderFollowed(page, std::move(done));
        };
    else
        hooks.read = [this](const FollowedPage& page) { return readFollowed(page); };
    hooks.listed = [this](const FollowedPage& page, const QList<QByteArray>& links) {
        listFollowed(page, links);
    };
    hooks.failed = [this](const QByteArray& target, const net::Result& why) {
        ++m_followFailures.count;
        const QString line = QStringLiteral("the linked page %1 adds nothing: %2")
                                 .arg(QString::fromUtf8(target), net::reasonText(why));
        if (m_followFailures.lines.size() < FollowFailures::shown)
            m_followFailures.lines << line;
        m_host.followWarning(line);
    };
    hooks.progress = [this](int done, int total) {
        m_host.renderingProgress(QStringLiteral("Following links: %1 of %2").arg(done).arg(total));
    };
    hooks.ended = [this, then = std::move(then)](const net::Result&) {
        m_host.renderingProgress({});
        m_host.via({});
        // Told from the follower's own report: it goes once that has returned.
        QTimer::singleShot(0, &m_context, [this, then] {
            m_follower.reset();
            then();
        });
    };
    m_follower = std::make_unique<LinkFollower>(m_setup, m_options.follow, std::move(hooks));
    m_follower->start(targets, pageUrl);
}

void ListingJob::readFollowedFacts(const FollowedPage& page) {
    // A followed page's images are named by the page they were found on, whose served bytes are
    // read (in rendered mode too); only the facts are kept until the page's turn.
    if (!m_options.readFacts)
        return;
    const QByteArray pageUrl = page.finalUrl.isEmpty() ? page.target : page.finalUrl;
    const bool classic = m_options.find == FindMode::Classic;
    m_followedFacts.insert(
        page.target, readPageFacts(page.body, page.contentType,
                                   {pageUrl, classic, classic ? classicFolderOf(pageUrl) : QByteArray()}));
}

QList<QByteArray> ListingJob::readFollowed(const FollowedPage& page) {
    readFollowedFacts(page);
    const QByteArray pageUrl = page.finalUrl.isEmpty() ? page.target : page.finalUrl;
    MemoryImageList found;
    if (m_options.find == FindMode::Classic) {
        // The classic rules over the page's src values, made absolute against its own folder.
        DiscoveryState state;
        state.ImageFilter = m_state.ImageFilter;
        state.PendingPages.emplace();
        state.PageData = page.body;
        state.PageLength = qint32(page.body.size());
        state.PageBase = classicFolderOf(pageUrl);
        LinkScanner scanner(state, found, [] { return QByteArray(); });
        scanner.setImagesOnly(true);
        scanner.setYield([] {});
        scanner.CollectData();
    } else {
        BrowserListing listing(found, m_state.ImageFilter);
        listing.setYield({});
        listing.setImagesOnly(true);
        listing.setLargestOnly(m_options.largestOnly);
        listing.run(page.body, pageUrl, page.contentType);
    }
    QList<QByteArray> links;
    links.reserve(found.count());
    for (int entry = 1; entry <= found.count(); ++entry)
        links << found.text(entry);
    return links;
}

// A followed page shown by a browser of its own: its images, into a list of its own.
struct ListingJob::FollowedRender {
    FollowedRender(ListingJob& job, const QString& program, const RenderedListing::Settings& settings)
        : driver(program, QProcess::splitCommand(qEnvironmentVariable("VARNOLUX_CHROMIUM_FLAGS"))),
          listing(driver, found, job.m_state.ImageFilter, job.m_setup.options(), settings) {}

    ChromiumProcess driver;
    MemoryImageList found;
    RenderedListing listing;
};

void ListingJob::renderFollowed(const FollowedPage& page, LinkFollower::Hooks::ReadDone done) {
    readFollowedFacts(page);
    const std::optional<WebUrl> url =
        WebUrl::parseAsBrowser(page.finalUrl.isEmpty() ? page.target : page.finalUrl);
    const QString program = chromiumProgram();
    if (!url || !url->isHttp() || program.isEmpty()) {
        done({net::Status::Failed, chromiumMissingText()}, {});
        return;
    }
    RenderedListing::Settings settings;
    settings.renderMs = qint64(m_options.renderSeconds * 1000);
    m_followedRender = std::make_unique<FollowedRender>(*this, program, settings);
    RenderedListing& listing = m_followedRender->listing;
    listing.setImagesOnly(true);
    listing.setLargestOnly(m_options.largestOnly);
    // The browser shows the bytes fetched through the run's loop; it does not ask for the page again.
    listing.setDocument(page.body, page.contentType);
    listing.start(url->href(), [this, done = std::move(done)](const net::Result& result) {
        QList<QByteArray> links;
        const MemoryImageList& found = m_followedRender->found;
        for (int entry = 1; result.ok() && entry <= found.count(); ++entry)
            links << found.text(entry);
        // The listing is in the middle of its report: it goes once that has returned.
        m_followedRendered = std::move(m_followedRender);
        QTimer::singleShot(0, &m_context, [this] { m_followedRendered.reset(); });
        done(result, links);
    });
}

void ListingJob::keepFacts(const PageFacts& facts) {
    m_state.Facts.pageTitle = facts.title;
    m_state.Facts.alts = facts.alts;
}

void ListingJob::listFollowed(const FollowedPage& page, const QList<QByteArray>& links) {
    ImageList& list = m_host.imageList();
    m_host.via(page.target);
    const QByteArray from = page.finalUrl.isEmpty() ? page.target : page.finalUrl;
    const PageFacts facts = m_followedFacts.take(page.target);
    for (const QByteArray& link : links) {
        if (list.count() >= 32767)
            break;
        if (list.contains(link))
            continue;
        const int entry = list.add(link);
        list.setTicked(entry, true);
        list.scrollTo(entry);
        m_state.FollowedFrom.insert(link, from);
        if (m_options.readFacts) {
            m_state.Facts.followedTitles.insert(link, facts.title);
            if (const auto alt = facts.alts.constFind(link); alt != facts.alts.cend())
                m_state.Facts.alts.insert(link, *alt);
        }
    }
}

void ListingJob::end(ListingOutcome outcome) {
    // Told once; whoever is told may let the job go.
    if (const Ended ended = std::exchange(m_ended, nullptr))
        ended(outcome);
}

QString doneText(int followed, const FollowFailures& failed) {
    if (failed.count == 0)
        return QStringLiteral("Done.");
    QString text =
        QStringLiteral("Done.\r\r%1 of %2 linked pages added nothing:").arg(failed.count).arg(followed);
    for (const QString& line : failed.lines)
        text += u'\r' + line.left(1).toUpper() + line.mid(1) + u'.';
    if (failed.count > failed.lines.size())
        text += QStringLiteral("\r...");
    return text;
}

QString chromiumMissingText() {
    return QStringLiteral("Finding images as the browser shows the page needs Chromium: install the "
                          "\"chromium\" package (or name its program in VARNOLUX_CHROMIUM).");
}

namespace {

// The scheme a typed address names itself ("file:", "javascript:", "ftp://"), or empty when it
// names none, as in "site/dir" or "localhost:8080/x" (a port, not a scheme).
QByteArray typedScheme(const QByteArray& typed) {
    const QByteArray t = typed.trimmed();
    const qsizetype colon = t.indexOf(':');
    if (colon <= 0 || !std::isalpha(static_cast<unsigned char>(t[0])))
        return {};
    for (qsizetype i = 1; i < colon; ++i) {
        const char c = t[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return {};
    }
    if (colon + 1 < t.size() && std::isdigit(static_cast<unsigned char>(t[colon + 1])))
        return {};
    return t.left(colon).toLower();
}

} // namespace

void ListingJob::startRendered() {
    // The address as the other modes make it; anything but http(s) never reaches the browser,
    // which would open files of this machine or run a javascript: address.
    const QByteArray typed = m_host.addressText().toUtf8();
    if (const QByteArray scheme = typedScheme(typed);
        !scheme.isEmpty() && scheme != "http" && scheme != "https") {
        renderedEnded({net::Status::NotWebAddress, QString::fromUtf8(typed.trimmed())});
        return;
    }
    {
        LinkScanner scanner(m_state, m_host.imageList(), [] { return QByteArray(); });
        PageRetrieval retrieval(m_state, scanner, m_host.messages(), m_setup.loop());
        retrieval.SetPageAddress(typed);
    }
    const QByteArray address = m_state.PageAddress;
    const std::optional<WebUrl> url = WebUrl::parseAsBrowser(address);
    if (!url || !url->isHttp()) {
        renderedEnded({net::Status::NotWebAddress, QString::fromUtf8(address)});
        return;
    }
    const QString program = chromiumProgram();
    if (program.isEmpty()) {
        renderedEnded({net::Status::Failed, chromiumMissingText()});
        return;
    }
    RenderedListing::Settings settings;
    settings.renderMs = qint64(m_options.renderSeconds * 1000);
    m_rendered = std::make_unique<Rendered>(*this, program, settings);
    RenderedListing& listing = m_rendered->listing;
    listing.setLargestOnly(m_options.largestOnly);
    listing.setFoundIn([this](FoundIn where) {
        // The progress line makes way for the entries.
        if (where == FoundIn::Document)
            m_host.renderingProgress({});
        m_host.foundIn(where);
    });
    listing.setProgress([this](int screens, int images) {
        m_host.renderingProgress(
            QStringLiteral("Rendering: %1 screens scrolled, %2 images seen").arg(screens).arg(images));
    });
    listing.start(url->href(), [this](const net::Result& result) { renderedEnded(result); });
}

void ListingJob::renderedEnded(const net::Result& result) {
    m_host.renderingProgress({});
    if (m_rendered && result.ok() && !m_rendered->listing.finalAddress().isEmpty())
        m_state.PageFinalAddress = m_rendered->listing.finalAddress();
    m_state.BrowserCookies = m_rendered && result.ok() ? m_rendered->listing.cookies() : QByteArray();
    if (m_rendered && result.ok() && m_options.readFacts)
        keepFacts(readRenderedFacts(m_rendered->listing.elements(), m_rendered->listing.title()));
    if (m_rendered && result.ok() && m_options.follow.mode != FollowMode::None &&
        !Cancellation::requested()) {
        follow(
            followLinksOfElements(m_rendered->listing.elements(), m_options.follow.mode, m_state.ImageFilter),
            m_state.refererPage(), [this, result] { renderedFinished(result); });
        return;
    }
    renderedFinished(result);
}

void ListingJob::renderedFinished(const net::Result& result) {
    if (Cancellation::requested()) {
        end(ListingOutcome::Cancelled);
        return;
    }
    MessageBoxes& messages = m_host.messages();
    if (!result.ok())
        messages.show(pageFetchFailure(m_state.PageAddress, result));
    else if (m_options.announceDone)
        messages.show(doneText(m_followed, m_followFailures));
    m_host.pointer().setPointer(Pointer::Default);
    end(result.ok() ? ListingOutcome::Done : ListingOutcome::FetchFailed);
}
