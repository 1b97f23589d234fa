#include "cli/Describe.h"

#include "cli/Options.h"

#include <QStringList>

namespace cli {
namespace {

using namespace Qt::StringLiterals;

constexpr qsizetype helpWidth = 79;
constexpr qsizetype helpIndent = 19;
constexpr qsizetype exampleIndent = 23;

bool forCommands(const Option& option) {
    return option.scope != Scope::Program;
}

// The option as its help entry begins: "--parallel N".
QString helpHead(const Option& option) {
    return option.takesValue() ? option.longName() + u' ' + option.valueName : option.longName();
}

// Words filled into lines of at most helpWidth columns; the first line continues after head.
QString fill(const QString& head, const QString& text) {
    QString out = head;
    qsizetype column = head.size();
    if (column + 2 > helpIndent) {
        out += u"  "_s;
        column += 2;
    } else {
        out += QString(helpIndent - column, u' ');
        column = helpIndent;
    }
    bool lineEmpty = true;
    for (const QString& word : text.split(u' ', Qt::SkipEmptyParts)) {
        if (!lineEmpty && column + 1 + word.size() > helpWidth) {
            out += u'\n' + QString(helpIndent, u' ');
            column = helpIndent;
            lineEmpty = true;
        }
        if (!lineEmpty) {
            out += u' ';
            ++column;
        }
        out += word;
        column += word.size();
        lineEmpty = false;
    }
    return out + u'\n';
}

QString commandOptionsHelp() {
    QString out;
    bool downloadHeading = false;
    const auto all = options();
    for (auto it = all.begin(); it != all.end(); ++it) {
        const Option& option = *it;
        if (!forCommands(option))
            continue;
        if (option.scope == Scope::Download && !downloadHeading) {
            // The options of both commands that follow still work for list.
            QStringList both;
            for (auto later = it; later != all.end(); ++later)
                if (later->scope == Scope::Both)
                    both << later->longName();
            QString also;
            if (!both.isEmpty())
                also =
                    u" ("_s +
                    (both.size() < 2 ? both.first()
                                     : both.first(both.size() - 1).join(u", "_s) + u" and "_s + both.last()) +
                    u" for list too)"_s;
            out += u"\nfor download"_s + also + u":\n"_s;
            downloadHeading = true;
        }
        out += fill(helpHead(option), option.help);
        if (!option.example.isEmpty())
            out += QString(exampleIndent, u' ') + option.example + u'\n';
    }
    return out;
}

// Text for the manual page: roff's special characters escaped, *bold* and _italic_ marked up.
// A dash that starts a word or follows a dash is an option's and becomes a minus sign.
QString roff(const QString& text) {
    QString out;
    bool bold = false;
    bool italic = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const QChar before = i > 0 ? text[i - 1] : u' ';
        if (c == u'*') {
            out += bold ? u"\\fR"_s : u"\\fB"_s;
            bold = !bold;
        } else if (c == u'_' && (italic || before == u' ' || before == u'(')) {
            out += italic ? u"\\fR"_s : u"\\fI"_s;
            italic = !italic;
        } else if (c == u'\\') {
            out += u"\\e"_s;
        } else if (c == u'^') {
            out += u"\\(ha"_s;
        } else if (c == u'-' && (before == u' ' || before == u'-' || before == u'*' || before == u'(')) {
            out += u"\\-"_s;
        } else {
            out += c;
        }
    }
    return out;
}

// Fills roff text into lines of about 78 columns; a line that would start with a control
// character is protected.
QString roffLines(const QString& text) {
    QString out;
    QString line;
    for (const QString& word : text.split(u' ', Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && line.size() + 1 + word.size() > 78) {
            out += line + u'\n';
            line.clear();
        }
        if (line.isEmpty() && (word.startsWith(u'.') || word.startsWith(u'\'')))
            line = u"\\&"_s;
        else if (!line.isEmpty())
            line += u' ';
        line += word;
    }
    return line.isEmpty() ? out : out + line + u'\n';
}

// A macro argument: quotes cannot stand in it as they are.
QString roffArgument(const QString& text) {
    return roff(text).replace(u'"', u"\\(dq"_s);
}

QString manualEntry(const Option& option) {
    QString out = u".TP\n"_s;
    // Every dash of a name is a minus sign, so that what the reader copies is what the program takes.
    const QString name = option.longName().replace(u'-', u"\\-"_s);
    if (option.shortName)
        out += u".BR \\-"_s + QLatin1Char(option.shortName) + u" \", \" "_s + name;
    else if (option.takesValue())
        out += u".BI "_s + name + u" \" "_s + roffArgument(option.valueName.toString()) + u'"';
    else
        out += u".B "_s + name;
    out += u'\n';
    QString text = QString(option.manual);
    if (option.scope == Scope::Download)
        text = u"(download) "_s + text;
    out += roffLines(roff(text));
    if (!option.settingKey.isEmpty())
        out += roffLines(u"The window keeps this choice under the settings key \\fB"_s + option.settingKey +
                         u"\\fR."_s);
    if (!option.example.isEmpty())
        out += u"Example:\n\\fB"_s + roff(option.example.toString()) + u"\\fR\n"_s;
    return out;
}

// The option in a few words for a shell's menu: the first clause of its manual text, without
// markup or characters that would end a bracket or a quote of the completion scripts; quote marks
// stay, each script escapes them.
QString brief(const Option& option) {
    QString text = QString(option.manual).remove(u'*').remove(u'_');
    int depth = 0;
    for (qsizetype i = 0; i + 1 < text.size(); ++i) {
        const QChar c = text[i];
        depth += c == u'(' ? 1 : c == u')' ? -1 : 0;
        if (depth == 0 && (c == u'.' || c == u';' || c == u':') && text[i + 1] == u' ') {
            text.truncate(i);
            break;
        }
    }
    if (text.endsWith(u'.'))
        text.chop(1);
    for (QChar c : {u'"', u'[', u']', u':', u'\\'})
        text.remove(c);
    return text;
}

QStringList namesFor(Scope scope) {
    QStringList names;
    for (const Option& option : options())
        if (option.scope == Scope::Both || option.scope == scope)
            names << option.longName();
    return names;
}

QString bash() {
    QString valued;
    QString files;
    QString choices;
    for (const Option& option : options()) {
        if (!forCommands(option) || !option.takesValue())
            continue;
        valued += u' ' + option.longName();
        if (option.kind == ValueKind::File)
            files += u' ' + option.longName();
        if (option.kind == ValueKind::Choice)
            choices += u"        "_s + option.longName() + u") COMPREPLY=($(compgen -W \""_s +
                       option.choiceWords().join(u' ') + u"\" -- \"$cur\")); return ;;\n"_s;
    }
    return u"# bash completion for varnolux                             -*- shell-script -*-\n"
           u"_varnolux() {\n"
           u"    local cur prev command\n"
           u"    cur=${COMP_WORDS[COMP_CWORD]}\n"
           u"    prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           u"    if [[ $COMP_CWORD -eq 1 ]]; then\n"
           u"        COMPREPLY=($(compgen -W \"list download --help --version\" -- \"$cur\"))\n"
           u"        return\n"
           u"    fi\n"
           u"    command=${COMP_WORDS[1]}\n"
           u"    case $prev in\n"_s +
           choices + u"        "_s + files.split(u' ', Qt::SkipEmptyParts).join(u'|') +
           u") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
           u"        "_s +
           valued.split(u' ', Qt::SkipEmptyParts).join(u'|') +
           u") return ;;\n"
           u"    esac\n"
           u"    if [[ $cur == -* ]]; then\n"
           u"        case $command in\n"
           u"            list) COMPREPLY=($(compgen -W \""_s +
           namesFor(Scope::Both).join(u' ') +
           u"\" -- \"$cur\")) ;;\n"
           u"            download) COMPREPLY=($(compgen -W \""_s +
           namesFor(Scope::Download).join(u' ') +
           u"\" -- \"$cur\")) ;;\n"
           u"        esac\n"
           u"        return\n"
           u"    fi\n"
           u"    if [[ $command == download ]]; then\n"
           u"        COMPREPLY=($(compgen -d -- \"$cur\"))\n"
           u"    fi\n"
           u"}\n"
           u"complete -F _varnolux varnolux\n"_s;
}

QString zshArgument(const Option& option) {
    QString argument = u"'"_s + option.longName();
    if (option.takesValue())
        argument += u'=';
    argument += u'[' + brief(option).replace(u'\'', u"'\\''"_s) + u']';
    if (option.takesValue()) {
        argument +=
            u":"_s + QString(option.valueName).remove(u'"').remove(u':').replace(u'|', u'/').toLower() + u':';
        if (option.kind == ValueKind::Choice)
            argument += u'(' + option.choiceWords().join(u' ') + u')';
        else if (option.kind == ValueKind::File)
            argument += u"_files"_s;
        else
            argument += u' ';
    }
    // --header may be given more than once.
    if (option.name == "header"_L1)
        argument.prepend(u"'*"_s).remove(2, 1);
    return argument + u"'"_s;
}

QString zsh() {
    QString list;
    QString download;
    for (const Option& option : options()) {
        if (!forCommands(option))
            continue;
        const QString argument = u"        "_s + zshArgument(option) + u" \\\n"_s;
        download += argument;
        if (option.scope == Scope::Both)
            list += argument;
    }
    return u"#compdef varnolux\n"
           u"# zsh completion for varnolux\n"
           u"_varnolux() {\n"
           u"    local curcontext=$curcontext state line\n"
           u"    _arguments -C \\\n"
           u"        '(- *)'{-h,--help}'[show the usage and exit]' \\\n"
           u"        '(- *)'{-V,--version}'[show the version and exit]' \\\n"
           u"        '1:command:((list\\:\"print the image links of a page\" download\\:\"save the images of "
           u"a page\"))' \\\n"
           u"        '*::argument:->argument'\n"
           u"    [[ $state == argument ]] || return\n"
           u"    case $line[1] in\n"
           u"    list)\n"
           u"        _arguments \\\n"_s +
           list +
           u"        ':address:_urls'\n"
           u"        ;;\n"
           u"    download)\n"
           u"        _arguments \\\n"_s +
           download +
           u"        ':address:_urls' ':folder:_files -/'\n"
           u"        ;;\n"
           u"    esac\n"
           u"}\n"
           u"_varnolux \"$@\"\n"_s;
}

QString fish() {
    QString out =
        u"# fish completion for varnolux\n"
        u"complete -c varnolux -f\n"
        u"complete -c varnolux -n __fish_use_subcommand -a list -d 'print the image links of a page'\n"
        u"complete -c varnolux -n __fish_use_subcommand -a download -d 'save the images of a page'\n"_s;
    for (const Option& option : options()) {
        QString line = u"complete -c varnolux"_s;
        if (option.scope == Scope::Program)
            line += u" -n __fish_use_subcommand"_s;
        else if (option.scope == Scope::Download)
            line += u" -n '__fish_seen_subcommand_from download'"_s;
        else
            line += u" -n '__fish_seen_subcommand_from list download'"_s;
        if (option.shortName)
            line += u" -s "_s + QLatin1Char(option.shortName);
        line += u" -l "_s + option.name;
        if (option.kind == ValueKind::Choice)
            line += u" -x -a '"_s + option.choiceWords().join(u' ') + u'\'';
        else if (option.kind == ValueKind::File)
            line += u" -r -F"_s;
        else if (option.takesValue())
            line += u" -x"_s;
        line += u" -d '"_s + brief(option).replace(u'\'', u"\\'"_s) + u'\'';
        out += line + u'\n';
    }
    return out +
           u"complete -c varnolux -n '__fish_seen_subcommand_from download' -a '(__fish_complete_directories)'\n"_s;
}

} // namespace

QString usageText() {
    return u"Usage: varnolux                                   open the window\n"
           u"       varnolux list [OPTIONS] [--] ADDRESS\n"
           u"       varnolux download [OPTIONS] [--] ADDRESS FOLDER\n"
           u"       varnolux download --input FILE|- [OPTIONS] [--] FOLDER\n"
           u"       varnolux --help | --version\n"
           u"       varnolux --print-completion bash|zsh|fish | --print-man-options\n"
           u"\n"
           u"list      prints the image links of the page at ADDRESS, one per line.\n"
           u"download  saves every image link of the page at ADDRESS into FOLDER, each\n"
           u"          under the last part of its link, replacing a file only once the\n"
           u"          new one has arrived whole. Shows a progress line on a terminal,\n"
           u"          else one line per saved or failed file, then a summary.\n"
           u"\n"_s +
           commandOptionsHelp() +
           u"\n"
           u"Environment: http_proxy, https_proxy, all_proxy and no_proxy choose a proxy\n"
           u"as curl reads them; SSL_CERT_FILE and SSL_CERT_DIR replace the trusted\n"
           u"certificate authorities. HTTP/2 is used over https when the server offers it.\n"
           u"\n"
           u"The completion script of a shell and the manual page's OPTIONS section are\n"
           u"made from the option table: --print-completion prints the one (where none is\n"
           u"installed: source <(varnolux --print-completion bash)), --print-man-options\n"
           u"the other.\n"
           u"\n"
           u"SIGINT, SIGTERM and SIGHUP cancel a download: transfers stop, partial files\n"
           u"are removed and the summary says what was saved.\n"
           u"\n"
           u"Exit status: 0 success (images skipped by --on-exists skip or the archive\n"
           u"count as success), 1 the page or some image could not be fetched, 2 bad\n"
           u"arguments, no image filter, or a missing or unwritable folder; 130 after\n"
           u"SIGINT, 143 after SIGTERM, 129 after SIGHUP.\n"_s;
}

QString manualOptions() {
    QString out = u".SH OPTIONS\n"_s;
    for (const Option& option : options())
        if (forCommands(option))
            out += manualEntry(option);
    out += u".TP\n.B \\-\\-\nEnds the options, for an address that begins with a dash.\n"_s;
    for (const Option& option : options())
        if (!forCommands(option))
            out += manualEntry(option);
    return out;
}

QString completion(Shell shell) {
    switch (shell) {
    case Shell::Bash:
        return bash();
    case Shell::Zsh:
        return zsh();
    case Shell::Fish:
        return fish();
    }
    return {};
}

} // namespace cli
