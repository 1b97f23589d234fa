#pragma once

#include "core/MemoryImageList.h"
#include "discovery/LinkPatterns.h"
#include "discovery/ListingHost.h"

#include <cstdio>
#include <optional>

// Message boxes on the command line: each text goes to standard error, carriage returns as line
// breaks, prefixed with its title when it has one.
class StderrMessages : public MessageBoxes {
public:
    void show(const QString& text, MessageIcon icon, const QString& title) override;
};

// The mouse pointer has no meaning without a window, but the runs still read back what they set.
class RememberedPointer : public MousePointer {
public:
    Pointer pointer() const override { return m_pointer; }
    void setPointer(Pointer pointer) override { m_pointer = pointer; }

private:
    Pointer m_pointer = Pointer::Default;
};

// The image list of the command line; with an output stream it prints every entry as it is
// added, one per line, as the page's raw bytes.
class PrintingImageList : public MemoryImageList {
public:
    explicit PrintingImageList(std::FILE* out = nullptr) : m_out(out) {}
    int add(const QByteArray& text) override;
    // Each entry as a JSON object {"url": ...} instead of its raw bytes.
    void setJson(bool json) { m_json = json; }
    // A rendered listing's entries say in JSON where they were found.
    void setFoundIn(FoundIn where) { m_found = where; }
    // The followed page the entries added next were found on; empty: the page itself.
    void setVia(const QByteArray& page) { m_via = page; }

private:
    std::FILE* m_out;
    bool m_json = false;
    std::optional<FoundIn> m_found;
    QByteArray m_via;
};

// The listing run's view of the command line: a fixed address, no folder box.
class CliHost : public ListingHost {
public:
    CliHost(QString address, std::FILE* listOut) : m_address(std::move(address)), m_list(listOut) {}

    // The listing adds through the user's patterns, when there are any.
    ImageList& imageList() override { return m_filtered ? static_cast<ImageList&>(*m_filtered) : m_list; }
    MessageBoxes& messages() override { return m_messages; }
    MousePointer& pointer() override { return m_pointer; }
    void setPatterns(const LinkPatterns& patterns) {
        if (!patterns.isEmpty())
            m_filtered.emplace(m_list, patterns);
    }
    bool filterTicked(FilterBox) const override { return false; }
    QString customFilterText() const override { return {}; }
    QString addressText() const override { return m_address; }
    QString folderText() const override { return {}; }
    void foundIn(FoundIn where) override { m_list.setFoundIn(where); }
    void via(const QByteArray& target) override { m_list.setVia(target); }
    // "varnolux: warning: ..." on standard error.
    void followWarning(const QString& text) override;
    // On a terminal, one line on standard error redrawn in place.
    void renderingProgress(const QString& text) override;

    PrintingImageList& list() { return m_list; }

private:
    QString m_address;
    PrintingImageList m_list;
    std::optional<PatternFilteredList> m_filtered;
    StderrMessages m_messages;
    RememberedPointer m_pointer;
};
