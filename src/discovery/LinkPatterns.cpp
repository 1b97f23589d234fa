#include "discovery/LinkPatterns.h"

namespace {

bool anyFound(const QList<QRegularExpression>& patterns, const QString& link) {
    for (const QRegularExpression& pattern : patterns)
        if (pattern.match(link).hasMatch())
            return true;
    return false;
}

} // namespace

net::Result LinkPatterns::add(QList<QRegularExpression>& into, const QString& option,
                              const QString& pattern) {
    QRegularExpression compiled(pattern);
    if (!compiled.isValid())
        return {net::Status::Failed, QStringLiteral("option '%1': '%2' is no valid regular expression (%3 at "
                                                    "offset %4)")
                                         .arg(option, pattern, compiled.errorString())
                                         .arg(compiled.patternErrorOffset())};
    // Every link of a long page goes through it.
    compiled.optimize();
    into.append(std::move(compiled));
    return {};
}

bool LinkPatterns::keeps(QByteArrayView link) const {
    if (isEmpty())
        return true;
    const QString text = QString::fromUtf8(link);
    return (m_match.isEmpty() || anyFound(m_match, text)) && !anyFound(m_exclude, text);
}
