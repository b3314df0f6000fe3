#include "ui/about_texts.h"

#include <gtest/gtest.h>

#include <QString>

namespace flashupdate {
namespace {

TEST(AboutTextsFile, Parse_KeyValueLines_KeepEveryCharacterAfterTheFirstEquals) {
    const AboutTexts texts = parseAboutTexts(
        u"copyright=Copyright \u00A9 2026 Maker\n"
        u"street=1 High Street \n"
        u"town=Town = Centre\n"
        u"rights=All rights reserved.\n"
        u"warning1=One\n"
        u"warning2= two\n"
        u"warning3= three\n"
        u"warning4= four\n"
        u"warning5= five.");

    EXPECT_EQ(texts.copyright.toStdString(), "Copyright \u00A9 2026 Maker");
    EXPECT_EQ(texts.street.toStdString(), "1 High Street ");
    EXPECT_EQ(texts.town.toStdString(), "Town = Centre");
    EXPECT_EQ(texts.rights.toStdString(), "All rights reserved.");
    EXPECT_EQ(texts.warning[0].toStdString(), "One");
    EXPECT_EQ(texts.warning[1].toStdString(), " two");
    EXPECT_EQ(texts.warning[4].toStdString(), " five.");
}

TEST(AboutTextsFile, Parse_CommentsBlankLinesAndUnknownKeys_AreSkipped) {
    const AboutTexts texts = parseAboutTexts(
        u"# copyright=not this\n"
        u"\n"
        u"no equals sign here\n"
        u"colour=blue\n"
        u"  street  =Mill Lane\n");

    EXPECT_TRUE(texts.copyright.isEmpty());
    EXPECT_EQ(texts.street.toStdString(), "Mill Lane");
    EXPECT_TRUE(texts.town.isEmpty());
}

TEST(AboutTextsFile, Parse_WindowsEditedFile_LosesByteOrderMarkAndCarriageReturns) {
    const AboutTexts texts = parseAboutTexts(u"\uFEFFcopyright=C\r\nstreet=S\r\n");

    EXPECT_EQ(texts.copyright.toStdString(), "C");
    EXPECT_EQ(texts.street.toStdString(), "S");
}

TEST(AboutTextsFile, Parse_KeyGivenTwice_KeepsTheLastText) {
    EXPECT_EQ(parseAboutTexts(u"town=Old\ntown=New\n").town.toStdString(), "New");
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
