#include "discovery/DiscoveryState.h"

#include "core/Bytes.h"
#include "core/ErrorTrap.h"

ImageTypeFilter::ImageTypeFilter(QList<QByteArray> entries) : m_entries(std::move(entries)) {
    for (const QByteArray& entry : m_entries) {
        m_upper.insert(bytes::toUpper(entry));
        m_longest = qMax(m_longest, entry.size());
    }
}

bool ImageTypeFilter::matchesPiece(QByteArrayView piece) const {
    // Most pieces are far longer than any type; they need no upper-case copy to be turned down.
    if (piece.size() > m_longest)
        return false;
    return m_upper.contains(bytes::toUpper(piece));
}

bool ImageTypeFilter::passes(QByteArrayView link) const {
    const qsizetype dot = link.lastIndexOf('.');
    return matchesPiece(dot < 0 ? link : link.sliced(dot + 1));
}

void PendingPageStack::add(const QByteArray& item) {
    m_items.push_back({item, std::nullopt});
}

bool PendingPageStack::addKeyed(const QByteArray& item, const QByteArray& key) {
    QByteArray folded = bytes::toLower(key);
    if (m_keys.contains(folded))
        return false;
    m_keys.insert(folded);
    m_items.push_back({item, std::move(folded)});
    return true;
}

bool PendingPageStack::containsKey(const QByteArray& key) const {
    return m_keys.contains(bytes::toLower(key));
}

const QByteArray& PendingPageStack::last() const {
    if (m_items.empty())
        throw StepFailure(QStringLiteral("Index out of bounds"));
    return m_items.back().value;
}

void PendingPageStack::removeLast() {
    if (m_items.empty())
        throw StepFailure(QStringLiteral("Index out of bounds"));
    if (m_items.back().foldedKey)
        m_keys.remove(*m_items.back().foldedKey);
    m_items.pop_back();
}
