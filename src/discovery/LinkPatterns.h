#pragma once

#include "core/Ui.h"
#include "net/Transfer.h"

#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <QString>

// The user's patterns over the listed links (--match, --exclude), applied after the type filter:
// a link is kept when it matches one of the match patterns (any link, when there are none) and
// none of the exclude patterns. A pattern is a regular expression found anywhere in the link, as
// grep finds it; the link's bytes are read as UTF-8.
class LinkPatterns {
public:
    // Adds a pattern; a failure whose detail names the option, the pattern and what is wrong
    // with it when it does not compile.
    net::Result addMatch(const QString& pattern) { return add(m_match, QStringLiteral("--match"), pattern); }
    net::Result addExclude(const QString& pattern) {
        return add(m_exclude, QStringLiteral("--exclude"), pattern);
    }

    bool isEmpty() const { return m_match.isEmpty() && m_exclude.isEmpty(); }
    bool keeps(QByteArrayView link) const;

private:
    static net::Result add(QList<QRegularExpression>& into, const QString& option, const QString& pattern);

    QList<QRegularExpression> m_match;
    QList<QRegularExpression> m_exclude;
};

// A list that takes only the links the patterns keep, in front of the list that holds them. The
// listings add to it as to any list; a link it turns away gets entry 0, which ticks and scrolls to
// nothing, so the listings' steps need not know of it.
class PatternFilteredList : public ImageList {
public:
    PatternFilteredList(ImageList& list, LinkPatterns patterns)
        : m_list(list), m_patterns(std::move(patterns)) {}

    int count() const override { return m_list.count(); }
    void clear() override { m_list.clear(); }
    int add(const QByteArray& text) override { return m_patterns.keeps(text) ? m_list.add(text) : 0; }
    QByteArray text(int entry) const override { return m_list.text(entry); }
    bool ticked(int entry) const override { return m_list.ticked(entry); }
    void setTicked(int entry, bool ticked) override {
        if (entry != 0)
            m_list.setTicked(entry, ticked);
    }
    void scrollTo(int entry) override {
        if (entry != 0)
            m_list.scrollTo(entry);
    }
    bool contains(const QByteArray& text) const override { return m_list.contains(text); }

private:
    ImageList& m_list;
    LinkPatterns m_patterns;
};
