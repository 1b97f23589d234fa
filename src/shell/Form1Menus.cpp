#include "core/Product.h"
#include "discovery/ChromiumDriver.h"
#include "discovery/ListingJob.h"
#include "net/CookieFile.h"
#include "shell/Form1.h"
#include "shell/GalleryWindow.h"
#include "shell/ImageListView.h"
#include "shell/LinkListFile.h"
#include "shell/PreviewWindow.h"
#include "shell/SettingsStore.h"
#include "shell/ThumbnailLoader.h"
#include "shell/WindowRunSetup.h"

#include <QAction>
#include <QActionGroup>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QScreen>
#include <QUrl>

namespace {

bool isWebAddress(const QByteArray& link) {
    const QUrl url = QUrl::fromEncoded(net::wireAddress(link.trimmed()), QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() && (scheme == u"http" || scheme == u"https");
}

// The links a drag carries: its URLs, else the lines of its text.
QList<QByteArray> linksOf(const QMimeData* data) {
    QList<QByteArray> links;
    if (data->hasUrls()) {
        for (const QUrl& url : data->urls())
            if (url.isValid() && !url.isLocalFile())
                links << url.toEncoded();
    } else if (data->hasText()) {
        links = linkfile::parse(data->text().toUtf8());
    }
    return links;
}

} // namespace

QAction* Form1::action(const QString& name) const {
    return m_menuBar->findChild<QAction*>(name, Qt::FindChildrenRecursively);
}

void Form1::buildMenus() {
    m_menuBar = new QMenuBar(this);
    m_menuBar->setObjectName(QStringLiteral("menuBar"));
    m_menuBar->setNativeMenuBar(false);
    const auto named = [this](QAction* action, const char* name) {
        action->setParent(m_menuBar);
        action->setObjectName(QString::fromLatin1(name));
        return action;
    };

    QMenu* file = m_menuBar->addMenu(QStringLiteral("&File"));
    QMenu* saveAs = file->addMenu(QStringLiteral("Save List &As"));
    connect(named(saveAs->addAction(QStringLiteral("&Ticked Links...")), "actionSaveTicked"),
            &QAction::triggered, this, [this] { saveListAs(true); });
    connect(named(saveAs->addAction(QStringLiteral("&All Links...")), "actionSaveAll"), &QAction::triggered,
            this, [this] { saveListAs(false); });
    connect(named(file->addAction(QStringLiteral("&Open Link List...")), "actionOpenLinkList"),
            &QAction::triggered, this, &Form1::openLinkListFromDialog);
    connect(named(file->addAction(QStringLiteral("Open &Destination Folder")), "actionOpenFolder"),
            &QAction::triggered, this, &Form1::openDestinationFolder);
    file->addSeparator();
    m_stop = named(file->addAction(QStringLiteral("&Stop")), "actionStop");
    m_stop->setShortcut(QKeySequence(Qt::Key_Escape));
    connect(m_stop, &QAction::triggered, this, &Form1::stopRun);
    file->addSeparator();
    QAction* quit = named(file->addAction(QStringLiteral("&Quit")), "actionQuit");
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &QWidget::close);

    QMenu* edit = m_menuBar->addMenu(QStringLiteral("&Edit"));
    connect(named(edit->addAction(QStringLiteral("&Copy Link")), "actionCopyLink"), &QAction::triggered, this,
            &Form1::copyCurrentLink);
    connect(named(edit->addAction(QStringLiteral("Tick &Failed Only")), "actionTickFailed"),
            &QAction::triggered, this, &Form1::tickFailedOnly);

    QMenu* view = m_menuBar->addMenu(QStringLiteral("&View"));
    QAction* preview = named(view->addAction(QStringLiteral("&Preview")), "actionPreview");
    preview->setCheckable(true);
    preview->setShortcut(QKeySequence(Qt::Key_F3));
    connect(preview, &QAction::toggled, this, &Form1::showPreview);
    QAction* gallery = named(view->addAction(QStringLiteral("&Gallery")), "actionGallery");
    gallery->setCheckable(true);
    gallery->setShortcut(QKeySequence(Qt::Key_F4));
    connect(gallery, &QAction::toggled, this, &Form1::showGallery);

    QMenu* options = m_menuBar->addMenu(QStringLiteral("&Options"));
    QMenu* find = options->addMenu(QStringLiteral("&Find Images"));
    addChoices(find, Setting::FindMode,
               {{QStringLiteral("&Classic"), QStringLiteral("classic")},
                {QStringLiteral("As a &Browser Sees the Page"), QStringLiteral("browser")},
                {QStringLiteral("As the Browser &Shows the Page"), QStringLiteral("rendered")}},
               QStringLiteral("actionFind"));
    // Shown the page by Chromium: without it the choice is there, greyed, saying what to install.
    if (QAction* rendered = action(QStringLiteral("actionFindRendered"));
        rendered && chromiumProgram().isEmpty()) {
        rendered->setEnabled(false);
        rendered->setToolTip(chromiumMissingText());
        find->setToolTipsVisible(true);
    }
    addChoices(options->addMenu(QStringLiteral("Follow &Links")), Setting::FollowLinks,
               {{QStringLiteral("&Off"), QStringLiteral("none")},
                {QStringLiteral("&Thumbnail Links"), QStringLiteral("thumbnails")},
                {QStringLiteral("&All Links on the Site"), QStringLiteral("links")}},
               QStringLiteral("actionFollow"));
    addChoices(options->addMenu(QStringLiteral("Picture Si&zes")), Setting::PictureSizes,
               {{QStringLiteral("&All"), QStringLiteral("all")},
                {QStringLiteral("&Largest Only"), QStringLiteral("largest")}},
               QStringLiteral("actionSizes"));
    QList<std::pair<QString, QString>> parallel;
    for (int n : {1, 2, 4, 8, 16})
        parallel.append({QString::number(n), QString::number(n)});
    addChoices(options->addMenu(QStringLiteral("&Parallel Downloads")), Setting::Parallel, parallel,
               QStringLiteral("actionParallel"));
    addChoices(options->addMenu(QStringLiteral("&When a File Exists")), Setting::OnExists,
               {{QStringLiteral("&Replace"), QStringLiteral("replace")},
                {QStringLiteral("&Skip"), QStringLiteral("skip")},
                {QStringLiteral("&Keep Both"), QStringLiteral("rename")}},
               QStringLiteral("actionExists"));
    QList<std::pair<QString, QString>> retries;
    for (int n : {0, 1, 3, 5})
        retries.append({QString::number(n), QString::number(n)});
    addChoices(options->addMenu(QStringLiteral("&Retries")), Setting::Retries, retries,
               QStringLiteral("actionRetries"));
    options->addSeparator();
    const auto addTick = [&](const QString& text, const char* name, Setting setting) {
        QAction* tick = named(options->addAction(text), name);
        tick->setCheckable(true);
        tick->setChecked(m_store->readTick(setting));
        connect(tick, &QAction::toggled, this, [this, setting](bool on) { m_store->writeTick(setting, on); });
    };
    addTick(QStringLiteral("Send the Page as &Referer"), "actionSendReferer", Setting::SendReferer);
    addTick(QStringLiteral("&Untick Saved Images After a Run"), "actionUntickSaved", Setting::UntickSaved);

    QMenu* help = m_menuBar->addMenu(QStringLiteral("&Help"));
    connect(named(help->addAction(QStringLiteral("&Contact")), "actionHelpContact"), &QAction::triggered,
            this, &Form1::PushButton3_Click);
    connect(named(help->addAction(QStringLiteral("&Web Site")), "actionHelpWebSite"), &QAction::triggered,
            this, &Form1::PushButton9_Click);
    connect(named(help->addAction(QStringLiteral("&Image Filter")), "actionHelpFilter"), &QAction::triggered,
            this, &Form1::PushButton1_Click);
    help->addSeparator();
    connect(named(help->addAction(QStringLiteral("&About Varnolux")), "actionAbout"), &QAction::triggered,
            this, &Form1::showAbout);

    for (QMenu* menu : {file, edit, view, options, help})
        connect(menu, &QMenu::aboutToShow, this, &Form1::syncMenus);

    // The list's own menu: the same actions as the menu bar's, on the entry clicked.
    m_listMenu = new QMenu(this);
    m_listMenu->setObjectName(QStringLiteral("listMenu"));
    m_listMenu->addAction(preview);
    m_listMenu->addAction(action(QStringLiteral("actionCopyLink")));
    connect(named(m_listMenu->addAction(QStringLiteral("Open in &Browser")), "actionOpenInBrowser"),
            &QAction::triggered, this, &Form1::openCurrentInBrowser);
    ui.ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui.ListView1, &QWidget::customContextMenuRequested, this, &Form1::showListMenu);
    connect(&ui.ListView1->list(), &QAbstractItemModel::modelReset, this, &Form1::syncMenus);
    connect(ui.ListView1, &ImageListView::currentEntryChanged, this, [this] {
        previewCurrentEntry();
        syncMenus();
    });

    // Links may be dropped on the address box and on the list as well as on the window.
    ui.txtWebsite->installEventFilter(this);
    ui.ListView1->viewport()->setAcceptDrops(true);
    ui.ListView1->setDragDropMode(QAbstractItemView::DropOnly);
    syncMenus();
}

void Form1::addChoices(QMenu* menu, Setting setting, const QList<std::pair<QString, QString>>& items,
                       const QString& namePrefix) {
    auto* group = new QActionGroup(menu);
    group->setExclusive(true);
    const QString stored = m_store->read(setting);
    const QString fallback(settingInfo(setting).defaultText);
    const bool known =
        std::any_of(items.begin(), items.end(), [&](const auto& item) { return item.second == stored; });
    for (const auto& [text, value] : items) {
        QAction* choice = menu->addAction(text);
        choice->setParent(m_menuBar);
        choice->setObjectName(namePrefix + QString(value).replace(0, 1, value.left(1).toUpper()));
        choice->setCheckable(true);
        choice->setChecked(value == (known ? stored : fallback));
        choice->setActionGroup(group);
        connect(choice, &QAction::triggered, this,
                [this, setting, value] { m_store->write(setting, value); });
    }
}

void Form1::syncMenus() {
    const ImageListModel& list = ui.ListView1->list();
    const bool idle = m_run.idle();
    const bool hasEntry = currentEntry() > 0;
    action(QStringLiteral("actionOpenLinkList"))->setEnabled(idle);
    m_stop->setEnabled(!idle);
    action(QStringLiteral("actionCopyLink"))->setEnabled(hasEntry);
    action(QStringLiteral("actionOpenInBrowser"))->setEnabled(hasEntry);
    action(QStringLiteral("actionTickFailed"))->setEnabled(idle && list.anyFailed());
}

int Form1::currentEntry() const {
    const int entry = ui.ListView1->currentEntry();
    return entry <= ui.ListView1->list().count() ? entry : 0;
}

void Form1::showListMenu(const QPoint& at) {
    const int entry = ui.ListView1->entryAt(ui.ListView1->viewport()->mapFrom(ui.ListView1, at));
    if (entry == 0)
        return;
    ui.ListView1->setCurrentIndex(ui.ListView1->model()->index(entry - 1, 0));
    syncMenus();
    m_listMenu->popup(ui.ListView1->mapToGlobal(at));
}

void Form1::copyCurrentLink() {
    if (const int entry = currentEntry())
        m_seams.copyToClipboard(QString::fromUtf8(imageList().text(entry)));
}

void Form1::openCurrentInBrowser() {
    const int entry = currentEntry();
    if (entry == 0)
        return;
    // A page may list any scheme; only web addresses go to the browser, never a file or a command.
    const QByteArray link = imageList().text(entry);
    const QUrl url = QUrl::fromEncoded(net::wireAddress(link.trimmed()), QUrl::TolerantMode);
    if (!isWebAddress(link)) {
        messages().show(QStringLiteral("Only web addresses (http or https) open in the browser."),
                        MessageIcon::Warning);
        return;
    }
    if (!m_seams.openBrowser(url))
        messages().show(
            QStringLiteral("No program could open %1 in a browser.").arg(QString::fromUtf8(url.toEncoded())),
            MessageIcon::Warning);
}

void Form1::openDestinationFolder() {
    const QString folder = folderText();
    if (!m_seams.openFolder(folder))
        messages().show(
            QStringLiteral("No program could open the folder %1.").arg(QDir::toNativeSeparators(folder)),
            MessageIcon::Warning);
}

namespace {

// The frame a window of this one's kind gets around its contents; not known before it is shown.
QMargins frameMargins(const QWidget& window) {
    const QRect inner = window.geometry();
    const QRect outer = window.frameGeometry();
    return {inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
            outer.bottom() - inner.bottom()};
}

} // namespace

void Form1::showPreview(bool shown) {
    if (!m_preview) {
        if (!shown)
            return;
        m_preview = new PreviewWindow(this);
        m_preview->setThumbnails(&thumbnails());
        connect(m_preview, &PreviewWindow::hidden, this, [this] {
            if (QAction* toggle = action(QStringLiteral("actionPreview")))
                toggle->setChecked(false);
        });
    }
    if (!shown) {
        m_preview->hide();
        return;
    }
    if (!m_preview->isVisible()) {
        // Its frame is not known before it is shown; the main window's stands in for it.
        const QSize size = m_preview->size().grownBy(frameMargins(*this));
        if (const QScreen* screen = this->screen())
            m_preview->move(previewPlace(frameGeometry(), size, screen->availableGeometry()));
        else
            m_preview->move(frameGeometry().topRight() + QPoint(previewGap, 0));
        m_preview->show();
    }
    previewCurrentEntry();
}

void Form1::showGallery(bool shown) {
    if (!m_gallery) {
        if (!shown)
            return;
        std::unique_ptr<ThumbnailSource> source =
            m_seams.thumbnails ? m_seams.thumbnails() : std::make_unique<LoaderThumbnails>(thumbnails());
        m_gallery = new GalleryWindow(this, ui.ListView1->list(), *m_store, std::move(source), [this] {
            // As the download run would ask for them, cookies and Referer included.
            GalleryRun run{windowRequestOptions(*m_store), {}, m_discovery.refererPage(), {}};
            // After a rendered listing, the cookies the browser ended with stand in for the
            // setting's, as for a download; a file that cannot be written leaves them out.
            if (m_discovery.BrowserCookies.isEmpty()) {
                m_galleryCookies.reset();
                m_galleryCookieLines.clear();
            } else if (!m_galleryCookies || m_galleryCookieLines != m_discovery.BrowserCookies) {
                auto held = net::HeldCookies::write(m_discovery.BrowserCookies);
                m_galleryCookies = held ? std::move(*held) : nullptr;
                m_galleryCookieLines = m_discovery.BrowserCookies;
            }
            if (m_galleryCookies)
                run.options.cookieFile = m_galleryCookies->path();
            if (run.options.sendReferer) {
                run.referer = m_discovery.refererPage();
                run.followedFrom = m_discovery.FollowedFrom;
            }
            return run;
        });
        // F3 and F4 work over the gallery as over the main window.
        m_gallery->addAction(action(QStringLiteral("actionPreview")));
        m_gallery->addAction(action(QStringLiteral("actionGallery")));
        connect(m_gallery, &GalleryWindow::hidden, this, [this] {
            if (QAction* toggle = action(QStringLiteral("actionGallery")))
                toggle->setChecked(false);
        });
        connect(m_gallery, &GalleryWindow::currentEntryChanged, this,
                [this](int entry) { followGallery(entry, false); });
        connect(m_gallery, &GalleryWindow::previewRequested, this,
                [this](int entry) { followGallery(entry, true); });
    }
    if (!shown) {
        m_gallery->hide();
        return;
    }
    if (!m_gallery->isVisible()) {
        // Its frame is not known before it is shown; the main window's stands in for it.
        const QRect available =
            screen() ? screen()->availableGeometry() : QRect(QPoint(0, 0), QSize(1920, 1080));
        m_gallery->showBeside(frameGeometry(), frameMargins(*this), available);
    }
}

void Form1::followGallery(int entry, bool preview) {
    if (entry < 1 || entry > ui.ListView1->list().rowCount())
        return;
    const QModelIndex index = ui.ListView1->model()->index(entry - 1, 0);
    if (ui.ListView1->currentIndex() != index)
        ui.ListView1->setCurrentIndex(index);
    if (!preview)
        return;
    if (QAction* toggle = action(QStringLiteral("actionPreview")); toggle && !toggle->isChecked())
        toggle->setChecked(true);
    else
        previewCurrentEntry();
    if (m_preview)
        m_preview->raise();
}

void Form1::previewCurrentEntry() {
    if (!m_preview || !m_preview->isVisible())
        return;
    const int entry = currentEntry();
    if (entry == 0) {
        m_preview->showNothing();
        return;
    }
    const QByteArray referer =
        m_store->readTick(Setting::SendReferer) ? m_discovery.refererPage() : QByteArray();
    m_preview->loader().setRun(windowRequestOptions(*m_store), m_discovery.refererPage());
    m_preview->showLink(imageList().text(entry), referer);
}

ThumbnailLoader& Form1::thumbnails() {
    if (!m_thumbnails)
        m_thumbnails = new ThumbnailLoader(this);
    return *m_thumbnails;
}

void Form1::showAbout() {
    const QString text =
        QStringLiteral("%1 %2\r\rLists the image links of one web page and downloads the ticked ones.\r\r"
                       "Qt %3, libcurl %4\r%5")
            .arg(QString(product::name), QStringLiteral(VARNOLUX_VERSION), QString::fromLatin1(qVersion()),
                 net::curlVersion(), QString(product::licence));
    messages().show(text, MessageIcon::None, QStringLiteral("About Varnolux"));
}

// ---- Link lists ----

QString Form1::suggestedListPath() const {
    const QString folder = folderText();
    const QString name = QStringLiteral("links.txt");
    return folder.isEmpty() || !QFileInfo(folder).isDir() ? name : QDir(folder).filePath(name);
}

void Form1::saveListAs(bool tickedOnly) {
    QString path = m_seams.chooseSaveFile(this, QStringLiteral("Save List As"), suggestedListPath());
    if (path.isEmpty())
        return;
    // A name without an extension is a text file of links all the same.
    const QString name = QFileInfo(path).fileName();
    if (name.lastIndexOf(u'.') <= 0)
        path += QLatin1StringView(".txt");
    saveLinkList(path, tickedOnly);
}

bool Form1::saveLinkList(const QString& path, bool tickedOnly) {
    const ImageList& list = ui.ListView1->list();
    QList<QByteArray> links;
    for (int entry = 1; entry <= list.count(); ++entry)
        if (!tickedOnly || list.ticked(entry))
            links << list.text(entry);
    const net::Result saved = linkfile::write(path, links);
    if (!saved.ok())
        messages().show(net::reasonText(saved), MessageIcon::Warning);
    return saved.ok();
}

void Form1::openLinkListFromDialog() {
    const QString path = m_seams.chooseOpenFile(this, QStringLiteral("Open Link List"));
    if (!path.isEmpty())
        openLinkList(path);
}

bool Form1::openLinkList(const QString& path) {
    // A run reads the list entry by entry; it is not refilled under it.
    if (m_run.active())
        return false;
    const linkfile::ReadResult read = linkfile::read(path);
    if (!read) {
        messages().show(net::reasonText(read.failure()), MessageIcon::Warning);
        return false;
    }
    // Only web addresses make entries a run can fetch; the rest are named, not listed.
    QList<QByteArray> links;
    int passedOver = 0;
    for (const QByteArray& link : *read) {
        if (isWebAddress(link))
            links << link;
        else
            ++passedOver;
    }
    ui.ListView1->list().clear();
    addDroppedLinks(links);
    syncMenus();
    if (passedOver > 0)
        messages().show(
            QStringLiteral("%1 of %2 passed over: %3 not a web address (http or https).")
                .arg(passedOver == 1 ? QStringLiteral("1 line") : QStringLiteral("%1 lines").arg(passedOver),
                     QDir::toNativeSeparators(path),
                     passedOver == 1 ? QStringLiteral("it is") : QStringLiteral("they are")),
            MessageIcon::Warning);
    return true;
}

int Form1::addDroppedLinks(const QList<QByteArray>& links) {
    ImageList& list = imageList();
    int added = 0;
    for (const QByteArray& link : links) {
        if (link.isEmpty() || list.contains(link))
            continue;
        list.setTicked(list.add(link), true);
        ++added;
    }
    if (added > 0)
        list.scrollTo(list.count());
    syncMenus();
    return added;
}

// ---- Drag and drop ----

bool Form1::dropOnAddress(const QMimeData* data) {
    const QList<QByteArray> links = linksOf(data);
    if (links.isEmpty())
        return false;
    // As if typed, so the address is stored as well; blanks around it are no part of it.
    ui.txtWebsite->setText(QString::fromUtf8(links.first()).trimmed());
    return true;
}

void Form1::addressEdited(const QString& text) {
    // What changed: the text between the part kept at the front and the part kept at the end.
    // Qt may tell of the change before or after the box's textChanged has recorded it.
    const QString before = m_addressNow == text ? m_addressBefore : m_addressNow;
    qsizetype front = 0;
    while (front < before.size() && front < text.size() && before[front] == text[front])
        ++front;
    qsizetype back = 0;
    while (back < before.size() - front && back < text.size() - front &&
           before[before.size() - 1 - back] == text[text.size() - 1 - back])
        ++back;
    const QString entered = text.mid(front, text.size() - front - back);
    // A key adds one character; more at once were pasted or dropped, and lose their blanks.
    if (entered.size() > 1 && entered.trimmed() != entered) {
        const QString trimmed = entered.trimmed();
        const QString fixed = text.left(front) + trimmed + text.right(back);
        ui.txtWebsite->setText(fixed);
        ui.txtWebsite->setCursorPosition(int(front + trimmed.size()));
    }
}

bool Form1::dropFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if ((type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop) || !m_menuBar)
        return false;
    const bool onAddress = watched == ui.txtWebsite;
    const bool onList = watched == ui.ListView1->viewport();
    if (!onAddress && !onList)
        return false;
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        // The list takes no drop while a run reads it.
        const bool wanted = !linksOf(drag->mimeData()).isEmpty() && (onAddress || m_run.idle());
        if (wanted)
            drag->acceptProposedAction();
        else
            drag->ignore();
        return true;
    }
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        const bool taken = onAddress ? dropOnAddress(drop->mimeData())
                                     : m_run.idle() && addDroppedLinks(linksOf(drop->mimeData())) > 0;
        if (taken)
            drop->acceptProposedAction();
        else
            drop->ignore();
        return true;
    }
    default:
        return false;
    }
}

void Form1::dragEnterEvent(QDragEnterEvent* event) {
    if (!linksOf(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void Form1::dropEvent(QDropEvent* event) {
    if (dropOnAddress(event->mimeData()))
        event->acceptProposedAction();
}
