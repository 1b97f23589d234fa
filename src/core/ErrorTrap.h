#pragma once

#include "core/Ui.h"

#include <QString>

#include <exception>
#include <stdexcept>
#include <utility>

// A failure of one step of a trapped procedure, carrying the description the report shows.
class StepFailure : public std::runtime_error {
public:
    explicit StepFailure(const QString& description) : std::runtime_error(description.toStdString()) {}
};

// The tags that name each trapped procedure in its error report.
namespace trapTags {
inline constexpr QLatin1StringView formLoad{"in Trevalin2021/08/31.Form1.Form_Load "};
inline constexpr QLatin1StringView pushButton1{"in Trevalin2021/08/31.Form1.PushButton1_Click "};
inline constexpr QLatin1StringView pushButton2{"in Trevalin2021/08/31.Form1.PushButton2_Click "};
inline constexpr QLatin1StringView pushButton3{"in Trevalin2021/08/31.Form1.PushButton3_Click "};
inline constexpr QLatin1StringView pushButton4{"in Trevalin2021/08/31.Form1.PushButton4_Click "};
inline constexpr QLatin1StringView pushButton5{"in Trevalin2021/08/31.Form1.PushButton5_Click "};
inline constexpr QLatin1StringView pushButton6{"in Trevalin2021/08/31.Form1.PushButton6_Click "};
inline constexpr QLatin1StringView pushButton7{"in Trevalin2021/08/31.Form1.PushButton7_Click "};
inline constexpr QLatin1StringView pushButton8{"in Trevalin2021/08/31.Form1.PushButton8_Click "};
inline constexpr QLatin1StringView pushButton9{"in Trevalin2021/08/31.Form1.PushButton9_Click "};
inline constexpr QLatin1StringView pushButton10{"in Trevalin2021/08/31.Form1.PushButton10_Click "};
inline constexpr QLatin1StringView getUrls{"in Trevalin2021/08/31.ExtractLinks.GetUrls "};
inline constexpr QLatin1StringView downloadFile{"in Trevalin2021/08/31.Download.DownloadFile "};
} // namespace trapTags

// The numbered-step error trap. Each step of a trapped procedure runs through step() or
// condition() under its line number; a step that throws is reported in one "Application Error"
// box and the procedure goes on with the next step. Exceptions never leave the trap, so none
// crosses an event-loop boundary.
class ErrorTrap {
public:
    ErrorTrap(MessageBoxes& boxes, QLatin1StringView tag) : m_boxes(boxes), m_tag(tag) {}

    // Runs one step; false when it failed (and was reported).
    template <class F> bool step(int line, F&& f) {
        m_line = line;
        try {
            std::forward<F>(f)();
            return true;
        } catch (const std::exception& e) {
            report(QString::fromUtf8(e.what()));
        } catch (...) {
            report(QStringLiteral("Unknown error"));
        }
        return false;
    }

    // Evaluates the test of a condition or loop. A failing test counts as passed, so the steps it
    // guards run next.
    template <class F> bool condition(int line, F&& f) {
        m_line = line;
        try {
            return std::forward<F>(f)();
        } catch (const std::exception& e) {
            report(QString::fromUtf8(e.what()));
        } catch (...) {
            report(QStringLiteral("Unknown error"));
        }
        return true;
    }

    int line() const { return m_line; }
    QLatin1StringView tag() const { return m_tag; }

    // Reports a failure at the current line.
    void report(const QString& description);

    // The report's text: description, CR LF, tag, "at line ", the number, CR CR, the request.
    static QString messageText(const QString& description, QLatin1StringView tag, int line);

private:
    MessageBoxes& m_boxes;
    QLatin1StringView m_tag;
    int m_line = 0;
};
