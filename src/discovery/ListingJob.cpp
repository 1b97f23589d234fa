#include "discovery/ListingJob.h"

#include "core/Cancellation.h"
#include "core/ErrorTrap.h"
#include "core/Folders.h"
#include "discovery/LinkScanner.h"
#include "discovery/ListingHost.h"
#include "discovery/PageRetrieval.h"
#include "net/RunSetup.h"

#include "discovery/BrowserListing.h"
#include "discovery/ChromiumDriver.h"
#include "discovery/RenderedListing.h"
#include "web/WebUrl.h"

#include <QEventLoop>
#include <QProcess>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cctype>
#include <limits>

namespace {

// Only blanks count as space here, as the filter test's own "trim" always did.
bool isBlank(const QString& text) {
    for (QChar c : text)
        if (c != u' ')
            return false;
    return true;
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

ListingJob::ListingJob(ListingHost& host, DiscoveryState& state, const net::RunSetup& setup)
    : m_host(host), m_state(state), m_setup(setup) {}

ListingOutcome ListingJob::run() {
    ErrorTrap trap(m_host.messages(), trapTags::pushButton5);
    QString text;
    trap.step(100, [&] { text.clear(); });
    if (trap.condition(102, [&] { return m_host.filterTicked(FilterBox::Jpg); }))
        trap.step(104, [&] { text += QLatin1StringView("JPG,"); });
    if (trap.condition(106, [&] { return m_host.filterTicked(FilterBox::Gif); }))
        trap.step(108, [&] { text += QLatin1StringView("GIF,"); });
    if (trap.condition(110, [&] { return m_host.filterTicked(FilterBox::Custom); }))
        trap.step(112, [&] { text += m_host.customFilterText(); });
    return run(text, Options{.find = m_host.findMode()});
}

ListingOutcome ListingJob::run(const QString& filterText, Options options) {
    ErrorTrap trap(m_host.messages(), trapTags::pushButton5);
    MessageBoxes& messages = m_host.messages();
    QString text = filterText;

    if (trap.condition(114, [&] { return isBlank(text); })) {
        trap.step(158, [&] { messages.show(QStringLiteral("Select image filter first.")); });
        return ListingOutcome::NoFilter;
    }
    if (trap.condition(116, [&] { return text.endsWith(u','); }))
        trap.step(118, [&] { text.chop(1); });
    trap.step(120, [&] { m_state.ImageFilter = cutFilterText(text); });
    trap.step(122, [&] { m_host.pointer().setPointer(Pointer::Busy); });
    trap.step(124, [&] { m_host.imageList().clear(); });
    if (options.checkFolder && trap.condition(126, [&] { return !FolderExists(m_host.folderText()); })) {
        trap.step(154, [&] { m_host.pointer().setPointer(Pointer::Default); });
        trap.step(156, [&] {
            messages.show(QStringLiteral("Folder does not exist. Please select another folder."));
        });
        return ListingOutcome::NoFolder;
    }

    if (options.find == FindMode::Browser || options.find == FindMode::Rendered) {
        const net::Result fetched =
            options.find == FindMode::Browser ? runBrowser() : runRendered(options.renderSeconds);
        if (Cancellation::requested())
            return ListingOutcome::Cancelled;
        if (!fetched.ok())
            messages.show(pageFetchFailure(m_state.PageAddress, fetched));
        else if (options.announceDone)
            messages.show(QStringLiteral("Done."));
        m_host.pointer().setPointer(Pointer::Default);
        return fetched.ok() ? ListingOutcome::Done : ListingOutcome::FetchFailed;
    }

    // The address box is read afresh for every link, but converted only when it has changed.
    LinkScanner scanner(m_state, m_host.imageList(),
                        [this, text = QString(), bytes = QByteArray()]() mutable {
                            const QString now = m_host.addressText();
                            if (now != text || bytes.isNull()) {
                                text = now;
                                bytes = now.toUtf8();
                            }
                            return bytes;
                        });
    PageRetrieval retrieval(m_state, scanner, messages, m_setup.transfers());
    trap.step(128, [&] { m_state.PendingPages.emplace(); });
    trap.step(130, [&] { m_state.PendingPages.value().add(m_host.addressText().toUtf8()); });

    // The typed page's own fetch; the pages taken off the stack later are not fetched.
    PageVisit typedPage;
    QByteArray typedAddress;
    qint32 pass = 0;
    trap.step(132, [&] { pass = 0; });
    while (trap.condition(134, [&] { return m_state.PendingPages.value().count() >= 1; })) {
        trap.step(136, [&] {
            const QByteArray address = m_state.PendingPages.value().last();
            PageVisit visit = retrieval.GetUrls(m_host.imageList(), address, 1, pass);
            if (pass == 0) {
                typedPage = std::move(visit);
                typedAddress = m_state.PageAddress;
            }
        });
        if (Cancellation::requested()) {
            m_state.PendingPages.reset();
            return ListingOutcome::Cancelled;
        }
        trap.step(138, [&] { m_state.PendingPages.value().removeLast(); });
        trap.step(140, [&] {
            if (pass == std::numeric_limits<qint32>::max())
                throw StepFailure(QStringLiteral("Overflow"));
            ++pass;
        });
        // Without a stack (it could not be made) the loop would never end.
        if (!m_state.PendingPages)
            break;
    }
    trap.step(142, [&] { m_state.PendingPages.reset(); });

    // A page that could not be fetched is a failure and is reported as one, never as "Done.".
    const bool fetched = typedPage.fetch.ok();
    if (!fetched)
        trap.step(150, [&] { messages.show(pageFetchFailure(typedAddress, typedPage.fetch)); });
    else if (options.announceDone)
        trap.step(150, [&] { messages.show(QStringLiteral("Done.")); });
    trap.step(152, [&] { m_host.pointer().setPointer(Pointer::Default); });
    return fetched ? ListingOutcome::Done : ListingOutcome::FetchFailed;
}

net::Result ListingJob::runBrowser() {
    // The address as the classic run makes it ("site/dir" is http://site/dir/).
    LinkScanner scanner(m_state, m_host.imageList(), [] { return QByteArray(); });
    PageRetrieval retrieval(m_state, scanner, m_host.messages(), m_setup.transfers());
    retrieval.SetPageAddress(m_host.addressText().toUtf8());
    const QByteArray address = m_state.PageAddress;

    QTemporaryFile file(QDir::temp().filePath(QStringLiteral("HTML1-XXXXXX.tmp")));
    // The page is read while it arrives; what it lists waits until the fetch has succeeded.
    HeldImageList held(m_host.imageList());
    BrowserListing listing(held, m_state.ImageFilter);
    const PageReader reader{
        .started =
            [&](const PageResponse& response) {
                listing.begin(response.finalUrl.isEmpty() ? address : response.finalUrl,
                              response.contentType);
            },
        .arrived = [&](QByteArrayView soFar) { listing.feed(soFar, false); },
    };
    QByteArray page;
    PageResponse response;
    const net::Result fetched =
        file.open()
            ? DownloadToFile(m_setup.transfers(), address, file, &page, &response, &reader)
            : net::Result(
                  net::Status::LocalFile,
                  QStringLiteral("a temporary file could not be created (%1)").arg(file.errorString()));
    if (!fetched.ok())
        return fetched;
    // The bytes were kept as they arrived; the file is read back only if the two disagree.
    if (page.size() != file.size()) {
        file.seek(0);
        page = file.readAll();
        // What was read as it arrived is not the page: it is read again, whole.
        listing.begin(response.finalUrl.isEmpty() ? address : response.finalUrl, response.contentType);
        held.discard();
    }
    file.close();
    file.remove();
    const QByteArray pageUrl = response.finalUrl.isEmpty() ? address : response.finalUrl;
    // A page whose reading never began is read whole here.
    if (!listing.begun())
        listing.begin(pageUrl, response.contentType);
    listing.feed(page, true);
    held.commit();
    return {};
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

net::Result ListingJob::runRendered(double renderSeconds) {
    // The address as the other modes make it; anything but http(s) never reaches the browser,
    // which would open files of this machine or run a javascript: address.
    const QByteArray typed = m_host.addressText().toUtf8();
    if (const QByteArray scheme = typedScheme(typed);
        !scheme.isEmpty() && scheme != "http" && scheme != "https")
        return {net::Status::NotWebAddress, QString::fromUtf8(typed.trimmed())};
    LinkScanner scanner(m_state, m_host.imageList(), [] { return QByteArray(); });
    PageRetrieval retrieval(m_state, scanner, m_host.messages(), m_setup.transfers());
    retrieval.SetPageAddress(m_host.addressText().toUtf8());
    const QByteArray address = m_state.PageAddress;
    const std::optional<WebUrl> url = WebUrl::parseAsBrowser(address);
    if (!url || !url->isHttp())
        return {net::Status::NotWebAddress, QString::fromUtf8(address)};
    const QString program = chromiumProgram();
    if (program.isEmpty())
        return {net::Status::Failed, chromiumMissingText()};

    // Extra arguments for Chromium, as a shell would split them (the tests pin its resolver).
    ChromiumProcess driver(program, QProcess::splitCommand(qEnvironmentVariable("VARNOLUX_CHROMIUM_FLAGS")));
    RenderedListing::Settings settings;
    settings.renderMs = qint64(renderSeconds * 1000);
    RenderedListing listing(driver, m_host.imageList(), m_state.ImageFilter, m_setup.options(), settings);
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
    // The run waits as every transfer of a job waits: the event loop turns until the end.
    QEventLoop loop;
    net::Result result;
    bool ended = false;
    listing.start(url->href(), [&](const net::Result& r) {
        result = r;
        ended = true;
        loop.quit();
    });
    if (!ended)
        loop.exec();
    m_host.renderingProgress({});
    if (result.ok() && !listing.finalAddress().isEmpty())
        m_state.PageFinalAddress = listing.finalAddress();
    m_state.BrowserCookies = result.ok() ? listing.cookies() : QByteArray();
    return result;
}
