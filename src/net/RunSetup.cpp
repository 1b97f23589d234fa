#include "net/RunSetup.h"

#include <QFile>
#include <QFileInfo>

namespace net {

CurlDefaults requestDefaults(const RunOptions& options, int lanes) {
    CurlDefaults defaults;
    defaults.userAgent = options.userAgent;
    defaults.headers = options.headers;
    if (!options.cookieFile.isEmpty())
        defaults.cookieFile = QFile::encodeName(QFileInfo(options.cookieFile).absoluteFilePath());
    defaults.maxBytesPerSecond = options.limitRate;
    if (defaults.maxBytesPerSecond > 0 && lanes > 1)
        defaults.maxBytesPerSecond = qMax<qint64>(1, defaults.maxBytesPerSecond / lanes);
    return defaults;
}

QByteArray RunSetup::refererFor(const QByteArray& page) const {
    if (!m_options.referer.isEmpty())
        return m_options.referer;
    return m_options.sendReferer ? page : QByteArray();
}

NetworkRun::NetworkRun(RunOptions options)
    : m_transfers(requestDefaults(options)),
      m_setup(
          m_transfers,
          [lane = requestDefaults(options, options.parallel)] {
              return std::unique_ptr<TransferFactory>(std::make_unique<CurlTransferFactory>(lane));
          },
          options) {}

} // namespace net
