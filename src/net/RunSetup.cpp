#include "net/RunSetup.h"

#include <QFile>
#include <QFileInfo>

namespace net {

CurlDefaults requestDefaults(const RunOptions& options) {
    CurlDefaults defaults;
    defaults.userAgent = options.userAgent;
    defaults.headers = options.headers;
    if (!options.cookieFile.isEmpty())
        defaults.cookieFile = QFile::encodeName(QFileInfo(options.cookieFile).absoluteFilePath());
    // One budget for the whole run: the page and every image draw on it.
    defaults.rateLimit = RateLimit::make(options.limitRate);
    defaults.credentialsForEachLink = options.credentialsForEachLink;
    return defaults;
}

QByteArray RunSetup::refererFor(const QByteArray& page) const {
    if (!m_options.referer.isEmpty())
        return m_options.referer;
    return m_options.sendReferer ? page : QByteArray();
}

namespace {

std::shared_ptr<CurlLoop> loopFor(const RunOptions& options) {
    auto loop = std::make_shared<CurlLoop>(requestDefaults(options));
    loop->setHostGapMs(options.waitMs);
    loop->setMaxInFlight(qBound(1, options.parallel, RunOptions::maxParallel));
    return loop;
}

} // namespace

NetworkRun::NetworkRun(RunOptions options) : m_loop(loopFor(options)), m_setup(*m_loop, options) {}

} // namespace net
