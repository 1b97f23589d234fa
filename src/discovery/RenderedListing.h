#pragma once

#include "discovery/BrowserListing.h"
#include "net/RunSetup.h"
#include "net/Transfer.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <functional>
#include <map>

class ChromiumDriver;
class ImageList;
class ImageTypeFilter;

// Where a rendered listing found an entry: in the document the browser built, or among the
// images the page fetched.
enum class FoundIn { Document, Network };

// The rendered listing of one page: the page opened in a browser with scripts on, scrolled and
// left to settle, then its images listed from the tree the browser built and from the images it
// fetched. Runs on the event loop from start() to the one call of its end callback.
class RenderedListing : public QObject {
    Q_OBJECT
public:
    struct Settings {
        qint64 renderMs = 30'000; // settling ends at the latest this long after it began
        // The rule's clocks; tests of the rules shorten none of them.
        qint64 loadWaitMs = 30'000; // settling begins this long after navigation without a load event
        qint64 scrollEveryMs = 250; // one screen scrolled per step
        qint64 stableHeightMs = 1'000;
        qint64 quietMs = 500;      // no request in flight for this long
        qint64 quietCapMs = 5'000; // ... waited for at most this long
        qint64 readCapMs = 10'000; // a page whose script never yields is given up on then
    };
    using End = std::function<void(const net::Result&)>;
    // How far it got, for a progress line: screens scrolled, images seen on the network.
    using Progress = std::function<void(int screens, int images)>;

    RenderedListing(ChromiumDriver& driver, ImageList& list, const ImageTypeFilter& filter,
                    const net::RunOptions& options, Settings settings);
    ~RenderedListing() override;

    void setProgress(Progress progress) { m_progress = std::move(progress); }
    // Where each listed entry was found, told just before it is added.
    void setFoundIn(std::function<void(FoundIn)> found) { m_foundIn = std::move(found); }
    // Of each picture in several sizes only the largest candidate is listed.
    void setLargestOnly(bool largest) { m_largest = largest; }
    // Only the image contexts of the tree: a followed page's images, not its links.
    void setImagesOnly(bool imagesOnly) { m_imagesOnly = imagesOnly; }
    // The page's document is these bytes, fetched already: the browser's request for the address
    // is answered with them rather than sent (its other requests go out as ever).
    void setDocument(QByteArray body, QByteArray contentType) {
        m_document = std::move(body);
        m_documentType = std::move(contentType);
        m_hasDocument = true;
    }

    // address: an http(s) address, normalised already.
    void start(const QByteArray& address, End end);

    // The page's address when settling ended (it may have navigated itself); empty before.
    const QByteArray& finalAddress() const { return m_finalAddress; }
    // Every cookie the browser held when settling ended, HttpOnly ones included, as the lines
    // of a Netscape cookie file; empty when it held none.
    const QByteArray& cookies() const { return m_cookies; }
    // The tree the browser built, as read once settling ended (its links are followed from it).
    const QList<BrowserListing::RenderedElement>& elements() const { return m_elements; }
    // The document's title as the browser gave it once settling ended.
    const QByteArray& title() const { return m_title; }

private:
    void prepare();
    void navigate();
    void onEvent(const QString& method, const QJsonObject& params);
    void checkOwnAnswer();
    void beginSettling();
    void scrollStep();
    void beginQuiet();
    void quietIfIdle();
    void read();
    void listFound(QList<BrowserListing::RenderedElement> elements);
    void finish(const net::Result& result);
    void finishListed(const net::Result& result);
    bool countsForImages(const QString& frameId) const;

    ChromiumDriver& m_driver;
    ImageList& m_list;
    const ImageTypeFilter& m_filter;
    net::RunOptions m_options;
    Settings m_settings;
    Progress m_progress;
    std::function<void(FoundIn)> m_foundIn;
    End m_end;
    QByteArray m_address;
    QByteArray m_finalAddress;
    QByteArray m_title;
    QByteArray m_cookies;
    QList<BrowserListing::RenderedElement> m_elements;
    bool m_largest = false;
    bool m_imagesOnly = false;
    bool m_hasDocument = false;
    bool m_documentServed = false;
    QByteArray m_document;
    QByteArray m_documentType;

    enum class Phase { Starting, Navigating, Loading, Scrolling, Quiet, Reading, Done };
    Phase m_phase = Phase::Starting;
    QString m_mainFrame;
    QString m_loaderId;
    // Our own navigation's answer, kept until the navigation's reply names its request.
    std::map<QString, std::pair<int, QString>> m_documentAnswers;
    QHash<QString, QString> m_frameOrigins; // frame id -> its document's origin
    QTimer m_loadWait;
    QTimer m_cap;
    QTimer m_scroll;
    QTimer m_quiet;
    QTimer m_quietCap;
    QElapsedTimer m_heightSince; // since scrollHeight last read differently
    QElapsedTimer m_quietClock;  // since the last request in flight ended
    bool m_scrollPending = false;
    bool m_scrolledOnce = false;
    double m_lastTop = -1;
    double m_lastHeight = -1;
    int m_screens = 0;
    // Requests in flight (a redirect chain is one) with the session of the other site's frame
    // that made them (empty: the page's), and the image answers by first request.
    QHash<QString, QString> m_inFlight;
    QHash<QString, qint64> m_order;
    qint64 m_nextOrder = 0;
    std::map<qint64, QByteArray> m_images;
};
