// The command line describes itself from its one option table: the parser takes what the table
// says, and --help, the manual page and the shell completions list exactly its options.

#include "cli/Options.h"
#include "shell/SettingsStore.h"
#include "support/CliRunner.h"
#include "support/Files.h"

#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using cli::Option;
using cli::Scope;
using cli::ValueKind;

namespace {

QString text(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

QList<const Option*> commandOptions() {
    QList<const Option*> all;
    for (const Option& option : cli::options())
        if (option.scope != Scope::Program)
            all << &option;
    return all;
}

// A value the option takes.
QString goodValue(const Option& option) {
    switch (option.kind) {
    case ValueKind::Number:
    case ValueKind::Seconds:
        return QString::number(option.high);
    case ValueKind::Rate:
    case ValueKind::Size:
        return QStringLiteral("500k");
    case ValueKind::Choice:
        return option.choiceWords().last();
    case ValueKind::Address:
        return QStringLiteral("http://example.org/");
    case ValueKind::Text:
        if (option.name == QLatin1StringView("output"))
            return QStringLiteral("{host}/{name}");
        return option.name == QLatin1StringView("header") ? QStringLiteral("X-Probe: 1")
                                                          : QStringLiteral("a");
    case ValueKind::File:
        return QStringLiteral("links.txt");
    case ValueKind::Flag:
        break;
    }
    return {};
}

// The entries of the help's option list: each starts with "--" at the line's start; its further
// lines are indented. Words joined by single blanks.
QList<QPair<QString, QString>> helpEntries(const QString& help) {
    QList<QPair<QString, QString>> entries;
    for (const QString& line : help.split(u'\n')) {
        if (line.startsWith(QLatin1StringView("--"))) {
            static const QRegularExpression head(
                QStringLiteral("^(--[a-z-]+)(?: (\"[^\"]*\"|\\S+))?\\s+(.*)$"));
            const QRegularExpressionMatch match = head.match(line);
            entries.append({match.captured(1), match.captured(3)});
        } else if (!entries.isEmpty() && line.startsWith(u' ')) {
            entries.last().second += u' ' + line.simplified();
        }
    }
    return entries;
}

QString section(const QString& page, QLatin1StringView name) {
    const qsizetype begin = page.indexOf(QLatin1StringView(".SH ") + name + u'\n');
    const qsizetype end = page.indexOf(QLatin1StringView("\n.SH "), begin);
    return begin < 0 ? QString() : page.mid(begin, end < 0 ? -1 : end + 1 - begin);
}

} // namespace

class CliDescribeTest : public QObject {
    Q_OBJECT

private slots:
    void everyOptionParsesBothWays_data();
    void everyOptionParsesBothWays();
    void valuesOutsideTheTableAreRefused_data();
    void valuesOutsideTheTableAreRefused();
    void settingKeysAreTheWindows();
    void helpListsTheTable();
    void manualPageListsTheTable();
    void completionsOfferTheTable_data();
    void completionsOfferTheTable();
};

void CliDescribeTest::everyOptionParsesBothWays_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("name");
    for (const Option* option : commandOptions()) {
        const QString name = option->longName();
        // The options that narrow --follow go with it.
        const QStringList before =
            name.startsWith(u"--follow-"_qs) ? QStringList{u"--follow=links"_qs} : QStringList();
        if (option->takesValue()) {
            QTest::addRow("%s VALUE", qPrintable(name))
                << before + QStringList{name, goodValue(*option), u"x"_qs} << name;
            QTest::addRow("%s=VALUE", qPrintable(name))
                << before + QStringList{name + u'=' + goodValue(*option), u"x"_qs} << name;
        } else {
            QTest::addRow("%s", qPrintable(name)) << QStringList{name, u"x"_qs} << name;
        }
    }
}

void CliDescribeTest::everyOptionParsesBothWays() {
    QFETCH(QStringList, args);
    QFETCH(QString, name);
    const cli::ParseResult parsed = cli::parseOptions(args);
    QVERIFY2(parsed, qPrintable(parsed ? QString() : net::reasonText(parsed.failure())));
    QCOMPARE(parsed->positional, QStringList{u"x"_qs});
    // Each option lands in its own field: the parsed options differ from the defaults (of the
    // options it goes with, when it goes with one).
    CommandOptions defaults;
    if (args.first() != name && !args.first().startsWith(name + u'='))
        defaults = *cli::parseOptions({args.first(), u"x"_qs});
    const CommandOptions& got = *parsed;
    const DownloadOptions& run = got.download;
    const DownloadOptions& plain = defaults.download;
    const bool changed =
        got.filter != defaults.filter || run.userAgent != plain.userAgent ||
        run.sendReferer != plain.sendReferer || run.parallel != plain.parallel ||
        run.onExists != plain.onExists || run.retries != plain.retries || got.find != defaults.find ||
        got.hasInput != defaults.hasInput || run.referer != plain.referer || run.archive != plain.archive ||
        got.json != defaults.json || run.limitRate != plain.limitRate || run.waitMs != plain.waitMs ||
        run.cookieFile != plain.cookieFile || run.headers != plain.headers ||
        got.createDirs != defaults.createDirs || got.renderSeconds != defaults.renderSeconds ||
        got.follow.mode != defaults.follow.mode || got.follow.hosts != defaults.follow.hosts ||
        got.follow.max != defaults.follow.max || got.largestOnly != defaults.largestOnly ||
        got.patterns.isEmpty() != defaults.patterns.isEmpty() || run.nameTemplate != plain.nameTemplate ||
        run.fixExtension != plain.fixExtension || run.dedupe != plain.dedupe ||
        got.probes() != defaults.probes();
    QVERIFY2(changed, qPrintable(name));
}

void CliDescribeTest::valuesOutsideTheTableAreRefused_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("says");
    for (const Option* option : commandOptions()) {
        const QString name = option->longName();
        if (option->kind == ValueKind::Number) {
            QTest::addRow("%s below its range", qPrintable(name))
                << QStringList{name, QString::number(option->low - 1)}
                << u"option '%1' takes a whole number from %2 to %3"_qs.arg(name)
                       .arg(option->low)
                       .arg(option->high);
            QTest::addRow("%s above its range", qPrintable(name))
                << QStringList{name, QString::number(option->high + 1)} << u"option '%1'"_qs.arg(name);
        }
        if (option->kind == ValueKind::Seconds)
            QTest::addRow("%s above its range", qPrintable(name))
                << QStringList{name, QString::number(option->high + 1)}
                << u"option '%1' takes seconds from %2 to %3"_qs.arg(name).arg(option->low).arg(option->high);
        if (option->kind == ValueKind::Choice)
            QTest::addRow("%s words are lower case", qPrintable(name))
                << QStringList{name, option->choiceWords().first().toUpper()}
                << u"option '%1' takes "_qs.arg(name);
        if (option->takesValue())
            QTest::addRow("%s without its value", qPrintable(name))
                << QStringList{name} << u"option '%1' needs a value"_qs.arg(name);
        else
            QTest::addRow("%s takes no value", qPrintable(name))
                << QStringList{name + QStringLiteral("=1")} << u"unknown option '%1=1'"_qs.arg(name);
    }
    QTest::newRow("--help is no option of a command") << QStringList{u"--help=1"_qs} << u"unknown option"_qs;
    QTest::newRow("--version is no option of a command")
        << QStringList{u"--version"_qs} << u"unknown option"_qs;
    QTest::newRow("a prefix of a name is no option")
        << QStringList{u"--par"_qs, u"2"_qs} << u"unknown option"_qs;
    QTest::newRow("one dash is no option") << QStringList{u"-j"_qs} << u"unknown option '-j'"_qs;
}

void CliDescribeTest::valuesOutsideTheTableAreRefused() {
    QFETCH(QStringList, args);
    QFETCH(QString, says);
    const cli::ParseResult parsed = cli::parseOptions(args);
    QVERIFY(!parsed);
    const QString error = net::reasonText(parsed.failure());
    QVERIFY2(error.startsWith(says), qPrintable(error));
}

void CliDescribeTest::settingKeysAreTheWindows() {
    for (const Option& option : cli::options()) {
        if (option.settingKey.isEmpty())
            continue;
        bool known = false;
        for (const SettingInfo& info : settingsTable)
            known = known || info.key == option.settingKey;
        QVERIFY2(known, qPrintable(option.longName()));
    }
}

void CliDescribeTest::helpListsTheTable() {
    const CliResult r = runVarnolux({u"--help"_qs});
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
    const QString help = text(r.out);
    const QList<QPair<QString, QString>> entries = helpEntries(help);
    const QList<const Option*> options = commandOptions();
    QCOMPARE(entries.size(), options.size());
    for (qsizetype i = 0; i < options.size(); ++i) {
        const Option& option = *options[i];
        QCOMPARE(entries[i].first, option.longName());
        QString expected = QString(option.help).simplified();
        if (!option.example.isEmpty())
            expected += u' ' + QString(option.example);
        QCOMPARE(entries[i].second, expected);
        if (option.takesValue())
            QVERIFY2(help.contains(u'\n' + option.longName() + u' ' + option.valueName),
                     qPrintable(option.longName()));
    }
    // Lines stay within a terminal's width, examples aside.
    for (const QString& line : help.split(u'\n'))
        QVERIFY2(line.size() <= 79 || line.trimmed().startsWith(QLatin1StringView("varnolux ")),
                 qPrintable(line));
    // The usage after a mistake is the same text.
    const CliResult listHelp = runVarnolux({u"list"_qs, u"--help"_qs});
    QCOMPARE(listHelp.out, r.out);
}

void CliDescribeTest::manualPageListsTheTable() {
    const CliResult r = runVarnolux({u"--print-man-options"_qs});
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
    const QString generated = text(r.out);
    // Every option, in the table's order, with its value's name.
    qsizetype at = 0;
    for (const Option& option : cli::options()) {
        QString head = option.longName().replace(u'-', u"\\-"_qs);
        if (option.takesValue() && !option.shortName)
            head =
                u".BI "_qs + head + u" \" "_qs + QString(option.valueName).replace(u'"', u"\\(dq"_qs) + u'"';
        at = generated.indexOf(head, at);
        QVERIFY2(at >= 0, qPrintable(option.longName()));
        // The range the manual names is the one the parser keeps.
        if (option.kind == ValueKind::Number || option.kind == ValueKind::Seconds)
            QVERIFY2(QString(option.manual).contains(u"%1 to %2"_qs.arg(option.low).arg(option.high)),
                     qPrintable(option.longName()));
        if (!option.settingKey.isEmpty())
            QVERIFY(generated.indexOf(u"\\fB"_qs + option.settingKey + u"\\fR"_qs, at) > at);
    }
    // The page that is installed carries it: after a change to the table, build varnolux_manpage.
    const QString page = text(readAll(QStringLiteral(VARNOLUX_SOURCE_DIR "/docs/varnolux.1")));
    QCOMPARE(section(page, QLatin1StringView("OPTIONS")), generated);
    const QString groff = QStandardPaths::findExecutable(u"groff"_qs);
    if (groff.isEmpty())
        QSKIP("groff is not installed");
    const CliResult check = runProcess(
        groff, {u"-man"_qs, u"-ww"_qs, u"-z"_qs, QStringLiteral(VARNOLUX_SOURCE_DIR "/docs/varnolux.1")});
    QVERIFY(check.finished);
    QCOMPARE(check.err, QByteArray());
}

void CliDescribeTest::completionsOfferTheTable_data() {
    QTest::addColumn<QString>("shell");
    QTest::newRow("bash") << u"bash"_qs;
    QTest::newRow("zsh") << u"zsh"_qs;
    QTest::newRow("fish") << u"fish"_qs;
}

void CliDescribeTest::completionsOfferTheTable() {
    QFETCH(QString, shell);
    const CliResult r = runVarnolux({u"--print-completion"_qs, shell});
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
    const QString script = text(r.out);
    // What the script offers after "list" and after "download", as it spells each option.
    auto offered = [&](const Option& option) {
        if (shell == u"bash")
            return option.longName();
        if (shell == u"zsh")
            return u"'"_qs + (option.name == QLatin1StringView("header") ? u"*"_qs : QString()) +
                   option.longName() + (option.takesValue() ? u"=["_qs : u"["_qs);
        return u" -l "_qs + option.name + u' ';
    };
    const qsizetype listAt = shell == u"bash"  ? script.indexOf(u"list) COMPREPLY"_qs)
                             : shell == u"zsh" ? script.indexOf(u"    list)\n"_qs)
                                               : 0;
    const qsizetype downloadAt = shell == u"bash"  ? script.indexOf(u"download) COMPREPLY"_qs)
                                 : shell == u"zsh" ? script.indexOf(u"    download)\n"_qs)
                                                   : 0;
    QVERIFY(listAt >= 0 && downloadAt >= 0);
    const QString listPart = shell == u"fish" ? script : script.mid(listAt, downloadAt - listAt);
    const QString downloadPart = script.mid(downloadAt, script.indexOf(u'\n', downloadAt) - downloadAt);
    for (const Option* option : commandOptions()) {
        const QString spelled = offered(*option);
        if (shell == u"fish") {
            const QString scope = option->scope == Scope::Both ? u"list download"_qs : u"download"_qs;
            QVERIFY2(script.contains(u"__fish_seen_subcommand_from "_qs + scope + u"'"_qs + spelled),
                     qPrintable(spelled));
        } else {
            const QString downloads = shell == u"bash" ? downloadPart : script.mid(downloadAt);
            QVERIFY2(downloads.contains(spelled), qPrintable(option->longName()));
            QCOMPARE(listPart.contains(spelled), option->scope == Scope::Both);
        }
        // The words of a choice are offered as they are spelled.
        if (option->kind == ValueKind::Choice)
            QVERIFY(script.contains(option->choiceWords().join(u' ')));
    }
    // No option that the table does not have.
    static const QRegularExpression names(QStringLiteral("(?:^|[\\s'\"|*{,(])--([a-z][a-z-]*)"));
    for (const QRegularExpressionMatch& match : names.globalMatch(script)) {
        const QString name = match.captured(1);
        QVERIFY2(cli::findOption(QLatin1StringView(name.toLatin1())), qPrintable(name));
    }
    // The script is one the shell can read.
    const QString program = QStandardPaths::findExecutable(shell);
    if (program.isEmpty())
        QSKIP("the shell is not installed");
    QTemporaryDir dir;
    const QString file = dir.filePath(u"varnolux."_qs + shell);
    QVERIFY(writeFile(file, r.out));
    const CliResult check = runProcess(program, {u"-n"_qs, file});
    QVERIFY(check.finished);
    QVERIFY2(check.exitCode == 0 && check.err.isEmpty(), check.err.constData());
}

QTEST_GUILESS_MAIN(CliDescribeTest)
#include "tst_clidescribe.moc"
