#include "shell/PreviewWindow.h"

#include "shell/ThumbnailLoader.h"

#include <QLabel>
#include <QPixmap>
#include <QResizeEvent>
#include <QVBoxLayout>

QPoint previewPlace(const QRect& mainFrame, const QSize& previewFrame, const QRect& available) {
    const int width = previewFrame.width();
    const int height = previewFrame.height();
    int x = mainFrame.left();
    if (const int right = mainFrame.right() + 1 + previewGap; right + width - 1 <= available.right())
        x = right;
    else if (const int left = mainFrame.left() - previewGap - width; left >= available.left())
        x = left;
    const auto within = [](int at, int size, int low, int high) {
        return qMax(low, qMin(at, high - size + 1));
    };
    return {within(x, width, available.left(), available.right()),
            within(mainFrame.top(), height, available.top(), available.bottom())};
}

PreviewWindow::PreviewWindow(QWidget* parent)
    : QWidget(parent, Qt::Window), m_loader(new PreviewLoader(this)), m_picture(new QLabel(this)),
      m_info(new QLabel(this)) {
    setObjectName(QStringLiteral("PreviewWindow"));
    setWindowTitle(QStringLiteral("Preview"));
    m_picture->setObjectName(QStringLiteral("previewPicture"));
    m_picture->setAlignment(Qt::AlignCenter);
    m_picture->setMinimumSize(320, 240);
    m_picture->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    m_info->setObjectName(QStringLiteral("previewInfo"));
    m_info->setWordWrap(true);
    m_info->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_info->setTextFormat(Qt::PlainText);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_picture, 1);
    layout->addWidget(m_info);
    resize(420, 420);
    connect(m_loader, &PreviewLoader::ready, this, &PreviewWindow::display);
    showNothing();
}

void PreviewWindow::showLink(const QByteArray& link, const QByteArray& referer) {
    if (link == m_link && (m_loading || !m_info->text().isEmpty()))
        return;
    m_link = link;
    m_image = {};
    m_picture->clear();
    m_loading = true;
    QString text = QString::fromUtf8(link) + QLatin1Char('\n');
    if (const Thumbnail* known = m_thumbnails ? m_thumbnails->known(link) : nullptr) {
        PreviewResult facts;
        facts.type = known->type;
        facts.pixelSize = known->pixelSize;
        facts.bytes = known->bytes;
        if (facts.bytes >= 0 && (!facts.type.isEmpty() || facts.pixelSize.isValid()))
            text += facts.summary() + QLatin1Char('\n');
    }
    m_info->setText(text + QStringLiteral("Loading..."));
    QByteArray body;
    QByteArray contentType;
    if (!m_loader->cached(link) && m_thumbnails && m_thumbnails->body(link, body, contentType))
        m_loader->show(link, body, contentType);
    else
        m_loader->request(link, referer);
}

void PreviewWindow::setThumbnails(ThumbnailLoader* thumbnails) {
    m_thumbnails = thumbnails;
}

void PreviewWindow::showNothing() {
    m_loader->cancel();
    m_link.clear();
    m_image = {};
    m_loading = false;
    m_picture->clear();
    m_info->setText(QStringLiteral("Choose an entry of the list to preview it."));
}

QString PreviewWindow::infoText() const {
    return m_info->text();
}

bool PreviewWindow::showsPicture() const {
    return !m_image.isNull();
}

void PreviewWindow::display(const PreviewResult& result) {
    if (result.link != m_link)
        return;
    m_loading = false;
    m_image = result.image;
    if (m_thumbnails && result.complete) {
        Thumbnail facts;
        facts.link = result.link;
        facts.pixelSize = result.pixelSize;
        facts.bytes = result.bytes;
        facts.type = result.type;
        m_thumbnails->learn(facts);
    }
    QString text = QString::fromUtf8(result.link) + QLatin1Char('\n') + result.summary();
    if (!result.message.isEmpty())
        text += QStringLiteral(": ") + result.message;
    m_info->setText(text);
    fitPicture();
    emit shown(result);
}

void PreviewWindow::fitPicture() {
    if (m_image.isNull()) {
        m_picture->clear();
        return;
    }
    const QSize room = m_picture->size();
    // Small pictures are shown at their own size, larger ones scaled down to fit.
    QImage shown = m_image;
    if (shown.width() > room.width() || shown.height() > room.height())
        shown = shown.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    m_picture->setPixmap(QPixmap::fromImage(shown));
}

void PreviewWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitPicture();
}

void PreviewWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // Nothing is fetched for a window nobody sees.
    if (m_loading)
        showNothing();
    emit hidden();
}
