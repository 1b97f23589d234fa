#include "web/HtmlTokenizer.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QTest>

namespace {

QString dataDir() {
    return QStringLiteral(VARNOLUX_SOURCE_DIR "/../shared/html5lib-tests/tokenizer/");
}

constexpr char kAbsent[] = "data files absent";

// Some files write their strings with \uXXXX escapes (lone surrogates among them).
QString unescape(const QString& text) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\\' && i + 5 < text.size() + 0 && text[i + 1] == u'u') {
            bool ok = false;
            const ushort code = text.mid(i + 2, 4).toUShort(&ok, 16);
            if (ok) {
                out += QChar(code);
                i += 5;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// The page reaches the tokenizer as UTF-8, where a lone surrogate cannot stand: it is U+FFFD.
QString withoutLoneSurrogates(QString text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            text[i] = QChar::ReplacementCharacter;
    }
    return text;
}

// Text as the tokenizer gave it; a leading U+FEFF is text here, not a byte order mark.
QString decodeUtf8(QByteArrayView s) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(s);
}

QJsonValue fromUtf8(QByteArrayView s) {
    return decodeUtf8(s);
}

HtmlTokenizer::State stateNamed(const QString& name) {
    if (name == u"PLAINTEXT state")
        return HtmlTokenizer::State::Plaintext;
    if (name == u"RCDATA state")
        return HtmlTokenizer::State::Rcdata;
    if (name == u"RAWTEXT state")
        return HtmlTokenizer::State::Rawtext;
    if (name == u"Script data state")
        return HtmlTokenizer::State::ScriptData;
    if (name == u"CDATA section state")
        return HtmlTokenizer::State::CdataSection;
    return HtmlTokenizer::State::Data;
}

// The tokens as the test files write them, adjacent characters joined. With cuts, the input
// arrives in pieces ending after each of those lengths, each time in a buffer of its own (the
// bytes so far move), then whole.
QJsonArray tokenize(const QByteArray& input, HtmlTokenizer::State state, const QString& lastStartTag,
                    const QList<qsizetype>& cuts = {}) {
    qsizetype piece = 0;
    QByteArray soFar = cuts.isEmpty() ? input : input.first(cuts.first());
    HtmlTokenizer tokenizer(soFar, cuts.isEmpty());
    tokenizer.setKeepText(true);
    tokenizer.setState(state);
    tokenizer.setLastStartTag(lastStartTag.toUtf8());
    tokenizer.setCdataAllowed(state == HtmlTokenizer::State::CdataSection);
    QJsonArray out;
    QString characters;
    auto flush = [&] {
        if (!characters.isEmpty())
            out.append(QJsonArray{QStringLiteral("Character"), characters});
        characters.clear();
    };
    for (;;) {
        const HtmlTokenizer::Kind kind = tokenizer.next();
        if (kind == HtmlTokenizer::Kind::EndOfFile)
            break;
        if (kind == HtmlTokenizer::Kind::NeedInput) {
            if (piece >= cuts.size())
                return {QStringLiteral("asked for input after the last piece")};
            ++piece;
            const bool final = piece == cuts.size();
            soFar = final ? input : input.first(cuts[piece]);
            soFar.detach();
            tokenizer.extend(soFar, final);
            continue;
        }
        if (kind == HtmlTokenizer::Kind::Characters) {
            characters += decodeUtf8(tokenizer.text());
            continue;
        }
        flush();
        switch (kind) {
        case HtmlTokenizer::Kind::StartTag: {
            QJsonObject attributes;
            for (std::size_t i = 0; i < tokenizer.attributeCount(); ++i)
                attributes.insert(fromUtf8(tokenizer.attribute(i).name).toString(),
                                  fromUtf8(tokenizer.attribute(i).value));
            QJsonArray tag{QStringLiteral("StartTag"), fromUtf8(tokenizer.name()), attributes};
            if (tokenizer.selfClosing())
                tag.append(true);
            out.append(tag);
            break;
        }
        case HtmlTokenizer::Kind::EndTag:
            out.append(QJsonArray{QStringLiteral("EndTag"), fromUtf8(tokenizer.name())});
            break;
        case HtmlTokenizer::Kind::Comment:
            out.append(QJsonArray{QStringLiteral("Comment"), fromUtf8(tokenizer.text())});
            break;
        case HtmlTokenizer::Kind::Doctype: {
            auto optional = [](const std::optional<QByteArray>& s) {
                return s ? fromUtf8(*s) : QJsonValue(QJsonValue::Null);
            };
            out.append(QJsonArray{QStringLiteral("DOCTYPE"),
                                  tokenizer.doctypeNameMissing() ? QJsonValue(QJsonValue::Null)
                                                                 : fromUtf8(tokenizer.name()),
                                  optional(tokenizer.doctypePublicId()),
                                  optional(tokenizer.doctypeSystemId()), !tokenizer.forceQuirks()});
            break;
        }
        default:
            break;
        }
    }
    flush();
    return out;
}

QJsonArray normalised(const QJsonArray& tokens, bool doubleEscaped) {
    QJsonArray out;
    QString characters;
    auto text = [&](const QJsonValue& v) {
        return v.isString()
                   ? QJsonValue(withoutLoneSurrogates(doubleEscaped ? unescape(v.toString()) : v.toString()))
                   : v;
    };
    for (const QJsonValue& value : tokens) {
        QJsonArray token = value.toArray();
        if (token.at(0).toString() == u"Character") {
            characters += text(token.at(1)).toString();
            continue;
        }
        if (!characters.isEmpty())
            out.append(QJsonArray{QStringLiteral("Character"), characters});
        characters.clear();
        for (qsizetype i = 1; i < token.size(); ++i) {
            if (token.at(i).isObject()) {
                QJsonObject attributes;
                const QJsonObject in = token.at(i).toObject();
                for (auto it = in.begin(); it != in.end(); ++it)
                    attributes.insert(text(it.key()).toString(), text(it.value()));
                token[i] = attributes;
            } else {
                token[i] = text(token.at(i));
            }
        }
        out.append(token);
    }
    if (!characters.isEmpty())
        out.append(QJsonArray{QStringLiteral("Character"), characters});
    return out;
}

} // namespace

class TestHtmlTokenizer : public QObject {
    Q_OBJECT

private slots:
    // Every case of the html5lib tokenizer tests, in every initial state it names; the tokens
    // must be equal, the parse errors are not compared. xmlViolation.test is left out: it
    // describes a converter to XML, not the HTML tokenizer.
    void html5lib_data();
    void html5lib();
    // The same cases with the input arriving in two pieces, cut at every position, and byte by
    // byte: the tokens are those of the whole input.
    void html5libInPieces_data() { html5lib_data(); }
    void html5libInPieces();
};

void TestHtmlTokenizer::html5lib_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("lastStartTag");
    QTest::addColumn<QByteArray>("expected");
    const QStringList files = QDir(dataDir()).entryList({QStringLiteral("*.test")}, QDir::Files, QDir::Name);
    if (files.isEmpty()) {
        QTest::newRow(kAbsent) << QByteArray() << 0 << QString() << QByteArray();
        return;
    }
    for (const QString& name : files) {
        if (name == u"xmlViolation.test")
            continue;
        QFile file(dataDir() + name);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonArray cases = QJsonDocument::fromJson(file.readAll()).object().value(u"tests").toArray();
        QVERIFY2(!cases.isEmpty(), qPrintable(name));
        for (qsizetype i = 0; i < cases.size(); ++i) {
            const QJsonObject c = cases.at(i).toObject();
            const bool doubleEscaped = c.value(u"doubleEscaped").toBool();
            QString input = c.value(u"input").toString();
            if (doubleEscaped)
                input = unescape(input);
            const QByteArray expected = QJsonDocument(normalised(c.value(u"output").toArray(), doubleEscaped))
                                            .toJson(QJsonDocument::Compact);
            QStringList states;
            for (const QJsonValue& s : c.value(u"initialStates").toArray())
                states << s.toString();
            if (states.isEmpty())
                states << QStringLiteral("Data state");
            for (const QString& state : states) {
                const QByteArray row = (name + u':' + QString::number(i) + u' ' + state + u' ' +
                                        c.value(u"description").toString())
                                           .left(120)
                                           .toUtf8();
                QTest::newRow(row.constData())
                    << withoutLoneSurrogates(input).toUtf8() << int(stateNamed(state))
                    << c.value(u"lastStartTag").toString() << expected;
            }
        }
    }
}

void TestHtmlTokenizer::html5lib() {
    if (qstrcmp(QTest::currentDataTag(), kAbsent) == 0)
        QSKIP("../shared/html5lib-tests is absent: the html5lib tokenizer tests were not run");
    QFETCH(QByteArray, input);
    QFETCH(int, state);
    QFETCH(QString, lastStartTag);
    QFETCH(QByteArray, expected);
    const QByteArray got =
        QJsonDocument(normalised(tokenize(input, HtmlTokenizer::State(state), lastStartTag), false))
            .toJson(QJsonDocument::Compact);
    QCOMPARE(got, expected);
}

void TestHtmlTokenizer::html5libInPieces() {
    if (qstrcmp(QTest::currentDataTag(), kAbsent) == 0)
        QSKIP("../shared/html5lib-tests is absent: the html5lib tokenizer tests were not run");
    QFETCH(QByteArray, input);
    QFETCH(int, state);
    QFETCH(QString, lastStartTag);
    QFETCH(QByteArray, expected);
    const auto tokens = [&](const QList<qsizetype>& cuts) {
        return QJsonDocument(
                   normalised(tokenize(input, HtmlTokenizer::State(state), lastStartTag, cuts), false))
            .toJson(QJsonDocument::Compact);
    };
    for (qsizetype cut = 0; cut <= input.size(); ++cut)
        QVERIFY2(
            tokens({cut}) == expected,
            qPrintable(
                QStringLiteral("cut after %1 bytes: %2").arg(cut).arg(QString::fromUtf8(tokens({cut})))));
    QList<qsizetype> everyByte;
    for (qsizetype cut = 0; cut <= input.size(); ++cut)
        everyByte << cut;
    QCOMPARE(tokens(everyByte), expected);
}

QTEST_GUILESS_MAIN(TestHtmlTokenizer)
#include "tst_htmltokenizer.moc"
