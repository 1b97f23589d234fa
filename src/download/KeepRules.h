#pragma once

#include "core/ImageDimensions.h"
#include "core/LinkFacts.h"
#include "download/BodyWatch.h"
#include "download/NameTemplate.h"
#include "net/RunSetup.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class DownloadArchive;

// What a run chooses beyond the classic download: names made from a template (--output), the
// extension of the content (--fix-ext), and no second copy of one content (--dedupe). Without
// any of them it does nothing, and the run names and keeps files exactly as it always has.
class KeepRules {
public:
    // The rules of the options; a template the options give was checked when given.
    explicit KeepRules(const net::RunOptions& options);

    // Whether the run's names come from here rather than from the link alone.
    bool names() const { return m_template || m_fixExtension || reservesLate(); }
    // Whether the names come from a template rather than the link's last part.
    bool hasTemplate() const { return m_template.has_value(); }
    // Whether each body is watched while it arrives.
    bool watches() const { return names() || m_dedupe || limits(); }
    // Whether an image is kept by its size or dimensions.
    bool limits() const { return m_minWidth > 0 || m_minHeight > 0 || m_minBytes > 0 || m_maxBytes > 0; }

    struct Decision {
        QString path;      // where the file goes; with late, a place-holder in the folder
        bool late = false; // the name is made once the body is known: --on-exists applies then
        QStringList notes;
        net::Result failure; // no usable name: the entry fails without a request
    };
    // One entry as the run knows it: its place in the list, its link, the page listed and the
    // page the link was found on (a followed one, or the page listed).
    struct Entry {
        int index = 0;
        QByteArray link;
        QByteArray page;
        QByteArray foundOn;
    };
    // The file of an entry, made from the template: its folders inside folder are created as
    // needed, never through a symbolic link.
    Decision decide(const Entry& entry, const QString& folder) const;

    // The watch of one entry's body.
    // path is where the run decided the file goes (a place-holder when late).
    std::unique_ptr<BodyWatch> watch(const Entry& entry, const QString& folder, const QString& path,
                                     bool late);

    // An entry whose body was hashed was not saved after all (its file could not be put in place,
    // or one appeared first under a name to be kept): its content no longer stands at path.
    void notSaved(const QByteArray& sha256, const QString& path);

    void setArchive(const DownloadArchive* archive) { m_archive = archive; }
    // The titles and alt texts the listing read; none without it.
    void setLinkFacts(const LinkFacts* facts) { m_facts = facts; }
    void setOnExists(net::OnExists onExists) { m_onExists = onExists; }
    // What reads an image's dimensions from its first bytes; without one, the dimension limits
    // keep every image.
    void setDimensionReader(DimensionReader reader) { m_readDimensions = std::move(reader); }

    // The most of a body kept in memory to find its dimensions in: past it (a JPEG with an
    // enormous Exif block), they count as unknown.
    static constexpr qsizetype maxHeaderBytes = 4 << 20;

private:
    class Watch;
    // With --dedupe a copy takes no name: a name --on-exists rename numbers is reserved once the
    // body shows it is no copy, so the names go to what is kept, in the order it is kept.
    bool reservesLate() const { return m_dedupe && m_onExists == net::OnExists::Rename; }
    NameFields fieldsOf(const Entry& entry) const;
    // The folders and name, the folders created; a failure when they cannot be.
    Expected<QString, net::Result> placeIn(const QString& folder, const NameTemplate::Made& made) const;

    std::optional<NameTemplate> m_template;
    bool m_fixExtension = false;
    bool m_dedupe = false;
    net::OnExists m_onExists = net::OnExists::Replace;
    const DownloadArchive* m_archive = nullptr;
    const LinkFacts* m_facts = nullptr;
    int m_minWidth = 0;
    int m_minHeight = 0;
    qint64 m_minBytes = 0;
    qint64 m_maxBytes = 0;
    DimensionReader m_readDimensions;
    // The contents saved (or about to be) in this run: hash -> path.
    QHash<QByteArray, QString> m_saved;
};
