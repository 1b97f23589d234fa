#include "download/KeepRules.h"

#include "download/BodySniffer.h"
#include "download/Collision.h"
#include "download/DownloadArchive.h"
#include "download/FileName.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace {

QByteArray hostOf(const QByteArray& link) {
    return QUrl::fromEncoded(link.trimmed(), QUrl::TolerantMode).host(QUrl::FullyEncoded).toUtf8();
}

// What the entry's name is by default: the link's last "/"-part, after one final "/".
QByteArray classicName(const QByteArray& link) {
    QByteArray name = link;
    if (name.endsWith('/'))
        name.chop(1);
    return fileName::lastPart(name);
}

// Enough of the first bytes to tell the content's type.
constexpr qsizetype headBytes = 64;

} // namespace

KeepRules::KeepRules(const net::RunOptions& options)
    : m_fixExtension(options.fixExtension), m_dedupe(options.dedupe), m_onExists(options.onExists),
      m_minWidth(options.minWidth), m_minHeight(options.minHeight), m_minBytes(options.minBytes),
      m_maxBytes(options.maxBytes) {
    if (!options.nameTemplate.isEmpty())
        if (auto parsed = NameTemplate::parse(options.nameTemplate); parsed && !parsed->isDefault())
            m_template = std::move(*parsed);
}

NameFields KeepRules::fieldsOf(const Entry& entry) const {
    NameFields fields;
    fields.name = classicName(entry.link);
    fields.host = hostOf(entry.link);
    fields.pageHost = entry.page.isEmpty() ? QByteArray() : hostOf(entry.page);
    fields.index = entry.index;
    if (m_facts) {
        fields.pageTitle = m_facts->titleOf(entry.link);
        fields.alt = m_facts->alts.value(entry.link);
    }
    // A page without a title is named as a browser's tab names it: by where it is.
    if (fields.pageTitle.isEmpty() && !entry.foundOn.isEmpty())
        fields.pageTitle = hostOf(entry.foundOn);
    return fields;
}

Expected<QString, net::Result> KeepRules::placeIn(const QString& folder,
                                                  const NameTemplate::Made& made) const {
    QString path = QDir::cleanPath(folder);
    for (qsizetype i = 0; i + 1 < made.segments.size(); ++i) {
        path = fileName::pathInFolder(path, made.segments[i]);
        const QFileInfo info(path);
        const QString shown = QDir::toNativeSeparators(path);
        // A planted link could lead anywhere: folders are only ever entered as folders.
        if (info.isSymLink())
            return net::Result::localFile(
                QStringLiteral("%1 is a symbolic link; nothing is saved through one").arg(shown));
        if (info.exists() && !info.isDir())
            return net::Result::localFile(QStringLiteral("%1 exists and is no folder").arg(shown));
        if (!info.exists() && !QDir().mkdir(path) && !QFileInfo(path).isDir())
            return net::Result::localFile(QStringLiteral("the folder %1 cannot be created").arg(shown));
    }
    return fileName::pathInFolder(path, made.segments.last());
}

KeepRules::Decision KeepRules::decide(const Entry& entry, const QString& folder) const {
    Decision decision;
    const NameFields fields = fieldsOf(entry);
    if (!m_template) {
        // The name as always; only its extension may change once the body shows its type.
        decision.late = m_fixExtension || reservesLate();
        return decision;
    }
    if (m_fixExtension || reservesLate() || m_template->needsBody(fields)) {
        decision.late = true;
        decision.path = fileName::pathInFolder(folder, ".varnolux-entry-" + QByteArray::number(entry.index));
        return decision;
    }
    const auto made = m_template->expand(fields);
    if (!made) {
        decision.failure = made.failure();
        return decision;
    }
    decision.notes = made->notes;
    const auto placed = placeIn(folder, *made);
    if (!placed)
        decision.failure = placed.failure();
    else
        decision.path = *placed;
    return decision;
}

// One entry's body: hashed while it arrives when the run needs its hash, named once complete
// when its name depends on it.
class KeepRules::Watch : public BodyWatch {
public:
    Watch(KeepRules& rules, NameFields fields, QString folder, QString decided, bool late)
        : m_rules(rules), m_fields(std::move(fields)), m_folder(std::move(folder)),
          m_decided(std::move(decided)), m_late(late) {}

    bool begin(const net::Response& response) override {
        m_hash.reset();
        m_head.clear();
        m_header.clear();
        m_received = 0;
        m_dimensions = {};
        m_nextTry = 64;
        m_refusal = {};
        m_contentType = response.header("Content-Type");
        // The size is known from the head when it gives a length: an image outside the limits is
        // not fetched any further.
        bool fits = false;
        const qint64 length = response.header("Content-Length").trimmed().toLongLong(&fits);
        if (fits)
            return sizeFits(length);
        return true;
    }

    bool take(QByteArrayView bytes) override {
        m_hash.addData(bytes);
        m_received += bytes.size();
        if (m_head.size() < headBytes)
            m_head += bytes.first(qMin(bytes.size(), headBytes - m_head.size()));
        // Without a length, the body shows that it is over once it is.
        if (m_rules.m_maxBytes > 0 && m_received > m_rules.m_maxBytes)
            return refuse(QStringLiteral("more than %1 bytes (--max-bytes)").arg(m_rules.m_maxBytes));
        if (wantsDimensions() && m_dimensions.state == ImageDimensions::State::NeedMore) {
            if (m_header.size() < maxHeaderBytes)
                m_header += bytes.first(qMin(bytes.size(), maxHeaderBytes - m_header.size()));
            // Read again only when the bytes have doubled, so a long header costs a few reads.
            if (m_header.size() >= m_nextTry || m_header.size() >= maxHeaderBytes) {
                m_nextTry = m_header.size() * 2;
                m_dimensions = m_rules.m_readDimensions(m_header, false);
                if (m_dimensions.state == ImageDimensions::State::NeedMore &&
                    m_header.size() >= maxHeaderBytes)
                    m_dimensions.state = ImageDimensions::State::Unknown;
                if (m_dimensions.state != ImageDimensions::State::NeedMore)
                    m_header = {};
                if (!dimensionsFit())
                    return false;
            }
        }
        return true;
    }

    Placement refusal() const override { return m_refusal; }

    Placement place() override {
        Placement placement;
        placement.sha256 = m_hash.result().toHex();
        placement.contentType = m_contentType;
        if (wantsDimensions() && m_dimensions.state == ImageDimensions::State::NeedMore) {
            m_dimensions = m_rules.m_readDimensions(m_header, true);
            if (m_dimensions.state == ImageDimensions::State::NeedMore)
                m_dimensions.state = ImageDimensions::State::Unknown;
            m_header = {};
        }
        if (m_dimensions.state == ImageDimensions::State::Known) {
            placement.width = m_dimensions.size.width();
            placement.height = m_dimensions.size.height();
        }
        if (!sizeFits(m_received) || !dimensionsFit()) {
            Placement refused = m_refusal;
            refused.sha256 = placement.sha256;
            return refused;
        }
        // What cannot be read is kept, and said to be.
        if (wantsDimensions() && m_dimensions.state == ImageDimensions::State::Unknown)
            placement.notes << QStringLiteral("its dimensions cannot be read: kept");
        if (m_rules.m_dedupe) {
            if (const auto saved = m_rules.m_saved.constFind(placement.sha256);
                saved != m_rules.m_saved.cend()) {
                placement.declined = true;
                placement.duplicateOf = QDir::toNativeSeparators(*saved);
            } else if (const QByteArray link =
                           m_rules.m_archive ? m_rules.m_archive->linkOf(placement.sha256) : QByteArray();
                       !link.isEmpty()) {
                placement.declined = true;
                placement.duplicateOf = QString::fromUtf8(link);
            }
            if (placement.declined) {
                placement.reason = QStringLiteral("duplicate of %1").arg(placement.duplicateOf);
                return placement;
            }
        }
        if (m_late && !name(placement))
            return placement;
        if (m_rules.m_dedupe) {
            // The file replaces whatever content stood under its name: a later copy of that is no
            // copy of anything kept.
            const QString path = placement.path.isEmpty() ? m_decided : placement.path;
            m_rules.m_saved.removeIf([&](const auto& saved) { return saved.value() == path; });
            m_rules.m_saved.insert(placement.sha256, path);
        }
        return placement;
    }

private:
    bool wantsDimensions() const {
        const bool named = m_rules.m_template && m_rules.m_template->needsDimensions();
        return (m_rules.m_minWidth > 0 || m_rules.m_minHeight > 0 || named) && m_rules.m_readDimensions;
    }

    bool refuse(const QString& reason) {
        m_refusal.declined = true;
        m_refusal.reason = reason;
        m_refusal.contentType = m_contentType;
        if (m_dimensions.state == ImageDimensions::State::Known) {
            m_refusal.width = m_dimensions.size.width();
            m_refusal.height = m_dimensions.size.height();
        }
        return false;
    }

    bool sizeFits(qint64 bytes) {
        if (m_rules.m_maxBytes > 0 && bytes > m_rules.m_maxBytes)
            return refuse(
                QStringLiteral("%1 bytes, more than %2 (--max-bytes)").arg(bytes).arg(m_rules.m_maxBytes));
        if (m_rules.m_minBytes > 0 && bytes < m_rules.m_minBytes)
            return refuse(
                QStringLiteral("%1 bytes, fewer than %2 (--min-bytes)").arg(bytes).arg(m_rules.m_minBytes));
        return true;
    }

    bool dimensionsFit() {
        if (m_dimensions.state != ImageDimensions::State::Known)
            return true;
        const QSize size = m_dimensions.size;
        if (size.width() < m_rules.m_minWidth)
            return refuse(QStringLiteral("%1 x %2, narrower than %3 (--min-width)")
                              .arg(size.width())
                              .arg(size.height())
                              .arg(m_rules.m_minWidth));
        if (size.height() < m_rules.m_minHeight)
            return refuse(QStringLiteral("%1 x %2, lower than %3 (--min-height)")
                              .arg(size.width())
                              .arg(size.height())
                              .arg(m_rules.m_minHeight));
        return true;
    }

    // The file's path once its content is known, --on-exists applied; false when it is not to be
    // saved (placement says why).
    bool name(Placement& placement) {
        m_fields.sha256 = placement.sha256;
        m_fields.width = placement.width;
        m_fields.height = placement.height;
        m_fields.contentExtension = contentExtension(m_head, m_contentType);
        NameTemplate::Made made;
        if (m_rules.m_template) {
            auto expanded = m_rules.m_template->expand(m_fields);
            if (!expanded) {
                placement.failure = expanded.failure();
                return false;
            }
            made = std::move(*expanded);
        } else {
            made.segments = {m_fields.name};
        }
        if (m_rules.m_fixExtension)
            made.segments.last() = withContentExtension(made.segments.last(), m_fields.contentExtension);
        if (const net::Result usable = fileName::checkFileName(made.segments.last()); !usable.ok()) {
            placement.failure = usable;
            return false;
        }
        placement.notes = made.notes;
        auto placed = m_rules.placeIn(m_folder, made);
        if (!placed) {
            placement.failure = placed.failure();
            return false;
        }
        QString path = *placed;
        switch (m_rules.m_onExists) {
        case net::OnExists::Replace:
            break;
        case net::OnExists::Skip:
            if (fileName::pathTaken(path)) {
                placement.declined = true;
                placement.reason = QStringLiteral("the file exists");
                placement.path = path;
                return false;
            }
            break;
        case net::OnExists::Rename:
            if (const net::Result reserved =
                    collision::reserve(QFileInfo(path).path(), made.segments.last(), path);
                !reserved.ok()) {
                placement.failure = reserved;
                return false;
            }
            break;
        }
        placement.path = path;
        return true;
    }

    KeepRules& m_rules;
    NameFields m_fields;
    QString m_folder;
    QString m_decided;
    bool m_late;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
    QByteArray m_head;
    QByteArray m_contentType;
    qint64 m_received = 0;
    QByteArray m_header; // the first bytes, while the dimensions are not known
    qsizetype m_nextTry = 64;
    ImageDimensions m_dimensions;
    Placement m_refusal;
};

void KeepRules::notSaved(const QByteArray& sha256, const QString& path) {
    if (const auto saved = m_saved.constFind(sha256); saved != m_saved.cend() && *saved == path)
        m_saved.erase(saved);
}

std::unique_ptr<BodyWatch> KeepRules::watch(const Entry& entry, const QString& folder, const QString& path,
                                            bool late) {
    return std::make_unique<Watch>(*this, fieldsOf(entry), folder, path, late);
}
