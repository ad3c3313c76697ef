#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/afx.h"

namespace {

TEST(CStringTest, TrimRemovesAsciiWhiteSpaceOnly) {
    const struct {
        const char *in, *both, *left, *right;
    } cases[] = {{"", "", "", ""},
                 {"   ", "", "", ""},
                 {" \t\r\n\v\fa b\f\v\n\r\t ", "a b", "a b\f\v\n\r\t ", " \t\r\n\v\fa b"},
                 {"\xa0x\xa0", "\xa0x\xa0", "\xa0x\xa0", "\xa0x\xa0"}};
    for (const auto& c : cases) {
        CString both(c.in), left(c.in), right(c.in);
        EXPECT_STREQ(both.Trim(), c.both) << c.in;
        EXPECT_STREQ(left.TrimLeft(), c.left) << c.in;
        EXPECT_STREQ(right.TrimRight(), c.right) << c.in;
    }
    CString letters("EERR3.4");
    EXPECT_STREQ(letters.TrimLeft('E'), "RR3.4");
    EXPECT_STREQ(letters.TrimLeft('R'), "3.4");
}

TEST(CStringTest, FindAndSlicingClampOutOfRangeArguments) {
    const CString s("CPOD_LC_R2.1");
    EXPECT_EQ((std::vector<int>{0, 7, -1, -1, -1, 10, -1, 7, -1, 0}),
              (std::vector<int>{s.Find("CPOD_"), s.Find("_R"), s.Find("x"), s.Find("C", 100),
                                s.Find("C", -1), s.Find('.'), s.Find('.', 11), s.ReverseFind('_'),
                                CString("abc").ReverseFind('_'), s.Find("")}));
    const CString slices[] = {s.Left(4),    s.Left(-3), s.Left(99),  s.Mid(7),
                              s.Mid(99),    s.Mid(-5),  s.Mid(5, 2), s.Mid(10, 99),
                              s.Mid(3, -1), s.Right(3), s.Right(99), s.Right(-1)};
    std::string joined;
    for (const CString& slice : slices)
        joined += std::string(slice) + "|";
    EXPECT_EQ(joined, "CPOD||CPOD_LC_R2.1|_R2.1||CPOD_LC_R2.1|LC|.1||2.1|CPOD_LC_R2.1||");
    EXPECT_EQ(s.GetAt(99), '\0');
}

TEST(CStringTest, InsertCompareConcatenateFormatAndZeroBytes) {
    CString s("3.4");
    EXPECT_EQ(s.Insert(0, "R"), 4);
    s.Insert(99, '!');
    EXPECT_STREQ(s, "R3.4!");
    EXPECT_EQ(CString("NotConnected").CompareNoCase("NOTCONNECTED"), 0);
    EXPECT_NE(CString("Unknown").CompareNoCase("Unknown "), 0);
    EXPECT_LT(CString("a").CompareNoCase("B"), 0);
    EXPECT_TRUE(CString("x") == "x");
    EXPECT_TRUE(CString("x") != CString("X"));
    CString joined = CString("dir") + "\\" + CString("file") + '.';
    EXPECT_STREQ(joined, "dir\\file.");
    joined += "bin";
    EXPECT_EQ(joined.GetLength(), 12);

    s.Format("R%u", 3u);
    EXPECT_STREQ(s, "R3");
    s.Format("CPLD REV:0x%08X VSI:0x%08x", 0xABu, 0xFFFFu);
    EXPECT_STREQ(s, "CPLD REV:0x000000AB VSI:0x0000ffff");
    s.Format("[%s]", std::string(5000, 'x').c_str());
    EXPECT_EQ(s.GetLength(), 5002);
    s.AppendFormat("%d", 42);
    EXPECT_EQ(s.Right(3), CString("]42"));
    s.Format("%s", "%n%s%x");  // a device text holding directives is data
    EXPECT_STREQ(s, "%n%s%x");

    CString zero("ab\0cd", 5);  // holds zero bytes, converts up to the first
    EXPECT_EQ(zero.GetLength(), 5);
    EXPECT_STREQ(zero, "ab");
    EXPECT_TRUE(CString(static_cast<const char*>(nullptr)).IsEmpty());
}

TEST(CFileExceptionTest, CarriesItsCauseWhenThrownByPointer) {
    try {
        AfxThrowFileException(CFileException::diskFull, 28, "x.txt");
        FAIL() << "no exception";
    } catch (CFileException* e) {
        EXPECT_EQ(e->m_cause, CFileException::diskFull);
        EXPECT_EQ(e->m_lOsError, 28);
        char message[128];
        EXPECT_TRUE(e->GetErrorMessage(message, sizeof message));
        EXPECT_NE(std::string(message).find("disk full"), std::string::npos);
        e->Delete();
    }
}

}  // namespace
