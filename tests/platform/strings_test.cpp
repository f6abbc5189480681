// Names compared without case: Unicode's simple case folding, in UTF-8 and UTF-16, and the
// small text helpers every layer shares.
#include "platform/strings.h"

#include <gtest/gtest.h>

#include "platform/utf.h"

namespace orv::platform {
namespace {

TEST(FoldCase, FoldsEveryScriptOneCodePointToOne) {
    EXPECT_EQ(FoldCase(U'Q'), U'q');
    EXPECT_EQ(FoldCase(U'\u00DC'), U'\u00FC');  // Ü
    EXPECT_EQ(FoldCase(U'\u00B5'), U'\u03BC');  // micro sign to mu
    EXPECT_EQ(FoldCase(U'\u017F'), U's');  // long s
    EXPECT_EQ(FoldCase(U'\u212A'), U'k');  // Kelvin sign
    EXPECT_EQ(FoldCase(U'\u03C2'), U'\u03C3');  // final sigma
    EXPECT_EQ(FoldCase(U'\u0531'), U'\u0561');  // Armenian
    EXPECT_EQ(FoldCase(U'\u10A0'), U'\u2D00');  // Georgian
    EXPECT_EQ(FoldCase(U'\uFF21'), U'\uFF41');  // fullwidth A
    EXPECT_EQ(FoldCase(U'\U00010400'), U'\U00010428');  // Deseret, beyond U+FFFF
    // Only full folding would change these: simple folding leaves them alone.
    EXPECT_EQ(FoldCase(U'\u00DF'), U'\u00DF');
    EXPECT_EQ(FoldCase(U'\u0130'), U'\u0130');
    EXPECT_EQ(FoldCase(U'\u0131'), U'\u0131');
    EXPECT_EQ(FoldCase(U'\u4E2D'), U'\u4E2D');
    // Steps of two inside a run: the capitals fold, the small letters between stay.
    EXPECT_EQ(FoldCase(U'\u0100'), U'\u0101');
    EXPECT_EQ(FoldCase(U'\u0101'), U'\u0101');
}

TEST(EqualsNoCase, NamesInAnyScriptAndEitherEncoding) {
    EXPECT_TRUE(
        EqualsNoCase("\xC3\x9C"
                     "bersicht",
                     "\xC3\xBC"
                     "BERSICHT"));  // Übersicht
    EXPECT_TRUE(EqualsNoCase("\xCE\xA3\xCE\xA5\xCE\x9D", "\xCF\x83\xCF\x85\xCE\xBD"));  // ΣΥΝ / συν
    EXPECT_FALSE(
        EqualsNoCase("Stra\xC3\x9F"
                     "e",
                     "STRASSE"));
    EXPECT_FALSE(EqualsNoCase("abc", "abcd"));
    EXPECT_TRUE(EqualsNoCase(u"\u0416\u0443\u0440\u043D\u0430\u043B", u"\u0436\u0423\u0420\u041D\u0410\u041B"));
    EXPECT_TRUE(EqualsNoCase(u"\U00010400", u"\U00010428"));
    EXPECT_EQ(CompareNoCase16(u"\u00B5m", u"\u039CM"), 0);
    EXPECT_EQ(FoldCase("\xC3\x9C"
                       "ber-SICHT"),
              "\xC3\xBC"
              "ber-sicht");
    // Ordering: ASCII letters as capitals, so "_" comes after them; a prefix first.
    EXPECT_GT(CompareNoCase("_", "a"), 0);
    EXPECT_LT(CompareNoCase("ab", "ABC"), 0);
}

TEST(TextHelpers, CaseTrimAndPaths) {
    EXPECT_EQ(Lower("MiXeD \xC3\x9C"), "mixed \xC3\x9C");  // ASCII only: UTF-8 passes through
    EXPECT_EQ(Upper("int(4)"), "INT(4)");
    EXPECT_EQ(Trim(" \t value \r\n"), "value");
    EXPECT_EQ(Trim("\t a b \t", " "), "\t a b \t");
    EXPECT_EQ(Trim("   "), "");
    EXPECT_EQ(Trim(u"\u3000\u00A0x\u2028"), u"x");
    EXPECT_EQ(FolderOf("/data/book.xlsx"), "/data");
    EXPECT_EQ(FolderOf("/book.xlsx"), "/");
    EXPECT_EQ(FolderOf("book.xlsx"), ".");
    EXPECT_EQ(FileNameOf("/data/book.xlsx"), "book.xlsx");
    EXPECT_EQ(FileNameOf("book.xlsx"), "book.xlsx");
}

}  // namespace
}  // namespace orv::platform
