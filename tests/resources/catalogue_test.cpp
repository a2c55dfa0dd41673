// The two translation catalogues: their sources hold the same keys with nothing unfinished,
// every key the code asks for by name is there, the compiled catalogues the program loads
// give the sources' texts, and Vietnamese is real Vietnamese text in precomposed UTF-8 with
// the same placeholders as English.

#include <map>
#include <set>
#include <utility>

#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTranslator>
#include <QXmlStreamReader>

#include "test_application.h"

namespace {

using Key = std::pair<QString, QString>; // context, key
using Texts = std::map<Key, QString>;

/// The texts of a catalogue source by (context, key), with any message left unfinished,
/// obsolete or given twice.
Texts readSource(const char* name, QStringList& problems)
{
    Texts texts;
    QFile file(QString(KX_SOURCE_DIR) + "/resources/locale/" + name);
    if (!file.open(QIODevice::ReadOnly)) {
        problems << "cannot read " + file.fileName();
        return texts;
    }
    QXmlStreamReader xml(&file);
    QString context;
    QString source;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.name() == QLatin1String("source")) {
            source = xml.readElementText();
            if (texts.count({context, source}))
                problems << "duplicate " + context + "/" + source;
        } else if (xml.name() == QLatin1String("translation")) {
            const QString type = xml.attributes().value("type").toString();
            if (!type.isEmpty())
                problems << context + "/" + source + " is " + type;
            texts[{context, source}] = xml.readElementText();
        }
    }
    if (xml.hasError())
        problems << QString(name) + ": " + xml.errorString();
    return texts;
}

bool isVietnameseLetter(QChar c)
{
    static const QString letters =
        QString::fromUtf8("àáảãạăằắẳẵặâầấẩẫậèéẻẽẹêềếểễệìíỉĩịòóỏõọôồốổỗộơờớởỡợ"
                          "ùúủũụưừứửữựỳýỷỹỵđ");
    return letters.contains(c.toLower());
}

std::set<QString> placeholders(const QString& text)
{
    std::set<QString> found;
    for (auto matches = QRegularExpression("%[0-9]").globalMatch(text); matches.hasNext();)
        found.insert(matches.next().captured());
    return found;
}

class Catalogues : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        testApplication();
        QStringList problems;
        english = readSource("en.ts", problems);
        vietnamese = readSource("vn.ts", problems);
        sourceProblems = problems;
    }

    static inline Texts english;
    static inline Texts vietnamese;
    static inline QStringList sourceProblems;
};

TEST_F(Catalogues, SourcesHoldTheSameKeysAndNothingUnfinished)
{
    EXPECT_TRUE(sourceProblems.isEmpty()) << sourceProblems.join("; ").toStdString();
    ASSERT_GT(english.size(), 200u);
    for (const auto& [key, text] : english) {
        EXPECT_TRUE(vietnamese.count(key))
            << "not in Vietnamese: " << key.first.toStdString() << "/" << key.second.toStdString();
        EXPECT_FALSE(text.isEmpty()) << key.second.toStdString();
    }
    for (const auto& [key, text] : vietnamese)
        EXPECT_TRUE(english.count(key))
            << "not in English: " << key.first.toStdString() << "/" << key.second.toStdString();
}

// Every literal key the code translates is in the catalogue: with its context where the
// code names one, in some context where tr() takes the class's.
TEST_F(Catalogues, EveryKeyTheCodeAsksForIsThere)
{
    std::set<QString> keys;
    for (const auto& [key, text] : english)
        keys.insert(key.second);
    const QRegularExpression trCall(R"re(\btr\("([^"]+)")re");
    const QRegularExpression translateCall(R"re(translate\("(\w+)",\s*"([^"]+)")re");
    int asked = 0;
    for (const auto& [file, code] : interfaceCode()) {
        ASSERT_FALSE(code.isNull()) << file.toStdString() << " cannot be read";
        for (auto matches = trCall.globalMatch(code); matches.hasNext();) {
            const auto match = matches.next();
            ++asked;
            EXPECT_TRUE(keys.count(match.captured(1)))
                << match.captured(1).toStdString() << " in " << file.toStdString();
        }
        for (auto matches = translateCall.globalMatch(code); matches.hasNext();) {
            const auto match = matches.next();
            ++asked;
            EXPECT_TRUE(english.count(Key{match.captured(1), match.captured(2)}))
                << match.captured(1).toStdString() << "/" << match.captured(2).toStdString();
        }
    }
    EXPECT_GT(asked, 100);
}

TEST_F(Catalogues, TheCompiledCataloguesGiveTheSourcesTextsInTheirContextOnly)
{
    for (const auto& [path, texts] :
         {std::pair{":/locale/en.qm", &english}, std::pair{":/locale/vn.qm", &vietnamese}}) {
        QTranslator translator;
        ASSERT_TRUE(translator.load(path)) << path;
        for (const auto& [key, text] : *texts)
            EXPECT_EQ(translator.translate(key.first.toUtf8().constData(),
                                           key.second.toUtf8().constData()),
                      text)
                << path << " " << key.second.toStdString();
    }
    QTranslator english;
    ASSERT_TRUE(english.load(":/locale/en.qm"));
    EXPECT_TRUE(english.translate("WidgetDialpad", "call").isEmpty());
    EXPECT_TRUE(english.translate("WidgetHome", "no-such-key").isEmpty());
    EXPECT_EQ(english.translate("WidgetCall", "fecc"), "FECC");
    EXPECT_EQ(english.translate("SettingsCodecs", "fecc"), "Far end camera control");
}

TEST_F(Catalogues, VietnameseIsRealTextWithTheSamePlaceholders)
{
    int withDiacritics = 0;
    for (const auto& [key, text] : vietnamese) {
        SCOPED_TRACE((key.first + " / " + key.second).toStdString());
        ASSERT_FALSE(text.isEmpty());
        EXPECT_NE(text, key.second);
        if (english.count(key)) {
            EXPECT_EQ(placeholders(text), placeholders(english.at(key)));
        }
        EXPECT_EQ(text, text.normalized(QString::NormalizationForm_C)) << "not precomposed";
        EXPECT_EQ(text, text.trimmed());
        EXPECT_FALSE(text.contains('-')) << "looks like an untranslated key";
        bool accented = false;
        for (const QChar c : text) {
            if (c.unicode() < 0x80)
                continue;
            // Anything outside ASCII must be a Vietnamese letter, never the debris of a
            // wrong encoding ("Ã¡", U+FFFD).
            EXPECT_TRUE(isVietnameseLetter(c))
                << "unexpected character U+" << std::hex << c.unicode();
            accented = true;
        }
        withDiacritics += accented ? 1 : 0;
    }
    EXPECT_GE(withDiacritics * 10, int(vietnamese.size()) * 9)
        << withDiacritics << " of " << vietnamese.size();
    EXPECT_EQ(vietnamese.at(Key{"WidgetHome", "call"}), QString::fromUtf8("Gọi"));
    EXPECT_EQ(vietnamese.at(Key{"WidgetSettings", "cancel"}), QString::fromUtf8("Hủy"));
}

} // namespace
