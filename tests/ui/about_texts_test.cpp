#include "ui/about_texts.h"

#include <gtest/gtest.h>

#include <QString>

namespace flashupdate {
namespace {

using namespace Qt::StringLiterals;

// Each file with the texts it gives; a key the file leaves out comes back empty.
TEST(AboutTextsFile, Parse_ReadsKeyValueLinesAsWrittenAndSkipsTheRest) {
    const struct {
        const char16_t* file;
        AboutTexts texts;
    } cases[] = {
        // Every character after the first equals sign, blanks included.
        {u"copyright=Copyright \u00A9 2026 Maker\nstreet=1 High Street \ntown=Town = Centre\n"
         u"rights=All rights reserved.\nwarning1=One\nwarning2= two\nwarning3= three\n"
         u"warning4= four\nwarning5= five.",
         {u"Copyright \u00A9 2026 Maker"_s,
          u"1 High Street "_s,
          u"Town = Centre"_s,
          u"All rights reserved."_s,
          {u"One"_s, u" two"_s, u" three"_s, u" four"_s, u" five."_s}}},
        // Comments, blank lines, lines without an equals sign and unknown keys.
        {u"# copyright=not this\n\nno equals sign here\ncolour=blue\n  street  =Mill Lane\n",
         {{}, u"Mill Lane"_s, {}, {}, {}}},
        // A file edited on Windows loses its byte order mark and carriage returns.
        {u"\uFEFFcopyright=C\r\nstreet=S\r\n", {u"C"_s, u"S"_s, {}, {}, {}}},
        // A key given twice keeps its last text.
        {u"town=Old\ntown=New\n", {{}, {}, u"New"_s, {}, {}}},
    };
    for (const auto& [file, expected] : cases) {
        const AboutTexts texts = parseAboutTexts(QStringView(file));
        SCOPED_TRACE(QString::fromUtf16(file).toStdString());
        EXPECT_EQ(texts.copyright, expected.copyright);
        EXPECT_EQ(texts.street, expected.street);
        EXPECT_EQ(texts.town, expected.town);
        EXPECT_EQ(texts.rights, expected.rights);
        EXPECT_EQ(texts.warning, expected.warning);
    }
}

TEST(AboutTextsFile, Load_MissingFile_GivesEmptyTexts) {
    const AboutTexts texts = loadAboutTexts(QStringLiteral(":/no-such-file.txt"));

    EXPECT_TRUE(texts.copyright.isEmpty());
    EXPECT_TRUE(texts.warning[4].isEmpty());
}

// The texts supplied with the product must give four address lines and a warning in five pieces
// that run together as words.
TEST(AboutTextsFile, CompiledInTexts_FillEveryLineAndJoinThePiecesWithBlanks) {
    const AboutTexts texts = loadAboutTexts();

    for (const QString* line : {&texts.copyright, &texts.street, &texts.town, &texts.rights}) {
        EXPECT_FALSE(line->trimmed().isEmpty());
        EXPECT_FALSE(line->contains(u'\r'));
    }
    EXPECT_TRUE(texts.copyright.contains(u'\u00A9'));
    ASSERT_FALSE(texts.warning[0].isEmpty());
    EXPECT_FALSE(texts.warning[0].front().isSpace());
    for (std::size_t i = 1; i < texts.warning.size(); ++i) {
        ASSERT_FALSE(texts.warning[i].isEmpty()) << "warning" << i + 1;
        EXPECT_TRUE(texts.warning[i].startsWith(u' ')) << "warning" << i + 1;
        EXPECT_FALSE(texts.warning[i].at(1).isSpace()) << "warning" << i + 1;
    }
}

}  // namespace
}  // namespace flashupdate
