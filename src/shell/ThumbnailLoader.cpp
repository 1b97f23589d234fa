#include "shell/ThumbnailLoader.h"

#include <QHash>

// Placeholder until the fetching worker lands: it remembers nothing and fetches nothing.
struct ThumbnailLoader::State {
    QHash<QByteArray, Thumbnail> known;
};

ThumbnailLoader::ThumbnailLoader(QObject* parent) : QObject(parent), m_state(std::make_unique<State>()) {}

ThumbnailLoader::~ThumbnailLoader() = default;

void ThumbnailLoader::setRun(const net::RunOptions& options, const QByteArray& referer) {
    Q_UNUSED(options);
    Q_UNUSED(referer);
}

void ThumbnailLoader::want(const QList<QByteArray>& links) {
    Q_UNUSED(links);
}

const Thumbnail* ThumbnailLoader::known(const QByteArray& link) const {
    const auto found = m_state->known.constFind(link);
    return found == m_state->known.cend() ? nullptr : &*found;
}

void ThumbnailLoader::clear() {
    m_state->known.clear();
}

qint64 ThumbnailLoader::cacheCost() const {
    return 0;
}
