#pragma once

#include "shell/PreviewLoader.h"

#include <QPointer>
#include <QWidget>

class QLabel;
class ThumbnailLoader;

// The room left between the main window and the preview beside it.
inline constexpr int previewGap = 8;

// Where the preview's frame of that size goes, its top left: beside the main window's frame on
// the right where the screen's area has room, else on the left, else over the main window; in
// every case wholly within the area (its top left corner first when it is larger).
QPoint previewPlace(const QRect& mainFrame, const QSize& previewFrame, const QRect& available);

// The companion window of View > Preview: the current entry's picture scaled to fit, with its
// pixel size, type and byte count, or a message where there is no picture to show.
class PreviewWindow : public QWidget {
    Q_OBJECT
public:
    explicit PreviewWindow(QWidget* parent);

    // Shows link, fetching it unless it is cached; an earlier fetch is dropped.
    void showLink(const QByteArray& link, const QByteArray& referer);
    // What the gallery's loader knows of a link is shown while the preview's own fetch is on the
    // way, and what the preview learns is told to it. Not owned; may be null.
    void setThumbnails(ThumbnailLoader* thumbnails);
    // No entry: nothing to show, and nothing fetched.
    void showNothing();

    QByteArray link() const { return m_link; }
    // What the window says under the picture, and whether a picture is shown.
    QString infoText() const;
    bool showsPicture() const;
    bool loading() const { return m_loading; }
    PreviewLoader& loader() { return *m_loader; }

signals:
    // Each time a result is on show.
    void shown(const PreviewResult& result);
    void hidden();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void display(const PreviewResult& result);
    void fitPicture();

    PreviewLoader* m_loader;
    QPointer<ThumbnailLoader> m_thumbnails;
    QLabel* m_picture;
    QLabel* m_info;
    QByteArray m_link;
    QImage m_image;
    bool m_loading = false;
};
