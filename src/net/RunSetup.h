#pragma once

#include "net/CurlLoop.h"
#include "net/Transfer.h"
#include "net/TransferLoop.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

namespace net {

// What to do when the file an entry is saved as exists already.
enum class OnExists {
    Replace, // the new file replaces it once it has arrived whole
    Skip,    // the existing file stays and the link is not fetched
    Rename,  // the new file is saved as "name (1).ext", "name (2).ext", ...
};

// What one run asks of the network and the disk, as the user chose it: the window reads it from
// its settings, the command line from its options. The defaults are the classic run: nothing added
// to the requests, the page as the images' Referer, one image after another, replacing, no retry.
struct RunOptions {
    // Carried by every request of the run, the page's and the images' alike, in every find mode.
    QByteArray userAgent;      // empty: "Varnolux/VERSION"
    QList<QByteArray> headers; // more header lines, "Name: value"
    QString cookieFile;        // a Netscape cookie file, read and never written; empty: none
    qint64 limitRate = 0;      // bytes per second for the whole run; 0: none
    // Where credential headers (Authorization, Cookie, Proxy-Authorization) may go: the page the
    // run named; with links that come without a page, each link's own origin.
    bool credentialsForEachLink = false;

    // How the images are asked for.
    bool sendReferer = true; // each image names its page as Referer
    QByteArray referer;      // the Referer of links that come without a page; empty: none
    qint64 waitMs = 0;       // between two requests to one host
    int retries = 0;
    int parallel = 1;

    // How they are kept.
    OnExists onExists = OnExists::Replace;
    QString archive; // the download archive; empty: none
    // How each file is named and what is kept; the defaults are the classic names, every body kept.
    QString nameTemplate;      // --output; empty: the link's last part
    bool fixExtension = false; // --fix-ext
    bool dedupe = false;       // --dedupe
    // What an image must be to be kept; 0: no limit.
    int minWidth = 0;
    int minHeight = 0;
    qint64 minBytes = 0;
    qint64 maxBytes = 0;

    static constexpr int maxParallel = 16;
    static constexpr int maxPerHost = 6;
    static constexpr int maxRetries = 100;
};

// What every libcurl transfer of a run with these options carries.
CurlDefaults requestDefaults(const RunOptions& options);

// The set-up of one run, built once by the front end: the run's transfer loop and the options.
// Listing (in every find mode) and the download take their requests from it and from nothing
// else.
class RunSetup {
public:
    explicit RunSetup(Transfers& loop, RunOptions options = {})
        : m_loop(&loop), m_options(std::move(options)) {}

    const RunOptions& options() const { return m_options; }
    // The run's one transfer loop: every request of the run, asynchronously. Only a set-up made
    // with one has it.
    Transfers& loop() const {
        Q_ASSERT(m_loop);
        return *m_loop;
    }
    bool hasLoop() const { return m_loop != nullptr; }

    // The Referer of the images of a page (its final address; empty when the links came without
    // one): the one the options name, else the page when they send it, else none.
    QByteArray refererFor(const QByteArray& page) const;

private:
    Transfers* m_loop = nullptr;
    RunOptions m_options;
};

// A run set-up on the network: one libcurl transfer loop carrying the options' request settings
// and keeping the run's wait per host; the page and the images go over it alike (so they share
// connections, credentials' origin, host pauses and one rate budget).
class NetworkRun {
public:
    explicit NetworkRun(RunOptions options = {});
    NetworkRun(const NetworkRun&) = delete;
    NetworkRun& operator=(const NetworkRun&) = delete;

    const RunSetup& setup() const { return m_setup; }

private:
    std::shared_ptr<CurlLoop> m_loop;
    RunSetup m_setup;
};

} // namespace net
