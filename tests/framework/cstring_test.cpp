#include <gtest/gtest.h>

#include <string>

#include "platform/afx.h"

namespace {

TEST(CStringTest, TrimRemovesAsciiWhiteSpaceOnly) {
    struct Case {
        const char* in;
        const char* both;
        const char* left;
        const char* right;
    };
    const Case cases[] = {
        {"", "", "", ""},
        {"   ", "", "", ""},
        {" \t\r\n\v\fa b\f\v\n\r\t ", "a b", "a b\f\v\n\r\t ", " \t\r\n\v\fa b"},
        {"\xa0x\xa0", "\xa0x\xa0", "\xa0x\xa0", "\xa0x\xa0"},
    };
    for (const Case& c : cases) {
        CString both(c.in), left(c.in), right(c.in);
        EXPECT_STREQ(both.Trim(), c.both) << c.in;
        EXPECT_STREQ(left.TrimLeft(), c.left) << c.in;
        EXPECT_STREQ(right.TrimRight(), c.right) << c.in;
    }
    CString letters("EERR3.4");
    letters.TrimLeft('E');
    EXPECT_STREQ(letters, "RR3.4");
    letters.TrimLeft('R');
    EXPECT_STREQ(letters, "3.4");
}

TEST(CStringTest, FindAndSlicingClampOutOfRangeArguments) {
    const CString s("CPOD_LC_R2.1");
    EXPECT_EQ(s.Find("CPOD_"), 0);
    EXPECT_EQ(s.Find("_R"), 7);
    EXPECT_EQ(s.Find("x"), -1);
    EXPECT_EQ(s.Find("C", 100), -1);
    EXPECT_EQ(s.Find("C", -1), -1);
    EXPECT_EQ(s.Find('.'), 10);
    EXPECT_EQ(s.Find('.', 11), -1);
    EXPECT_EQ(s.ReverseFind('_'), 7);
    EXPECT_EQ(CString("abc").ReverseFind('_'), -1);
    EXPECT_EQ(s.Find(""), 0);

    EXPECT_STREQ(s.Left(4), "CPOD");
    EXPECT_STREQ(s.Left(-3), "");
    EXPECT_STREQ(s.Left(99), "CPOD_LC_R2.1");
    EXPECT_STREQ(s.Mid(7), "_R2.1");
    EXPECT_STREQ(s.Mid(99), "");
    EXPECT_STREQ(s.Mid(-5), "CPOD_LC_R2.1");
    EXPECT_STREQ(s.Mid(5, 2), "LC");
    EXPECT_STREQ(s.Mid(10, 99), ".1");
    EXPECT_STREQ(s.Mid(3, -1), "");
    EXPECT_STREQ(s.Right(3), "2.1");
    EXPECT_STREQ(s.Right(99), "CPOD_LC_R2.1");
    EXPECT_STREQ(s.Right(-1), "");
    EXPECT_EQ(s.GetAt(99), '\0');
}

TEST(CStringTest, InsertCompareAndConcatenate) {
    CString s("3.4");
    EXPECT_EQ(s.Insert(0, "R"), 4);
    EXPECT_STREQ(s, "R3.4");
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
}

TEST(CStringTest, FormatExpandsLongTextsAndNeverReusesArguments) {
    CString s;
    s.Format("R%u", 3u);
    EXPECT_STREQ(s, "R3");
    s.Format("CPLD REV:0x%08X VSI:0x%08x", 0xABu, 0xFFFFu);
    EXPECT_STREQ(s, "CPLD REV:0x000000AB VSI:0x0000ffff");
    const std::string big(5000, 'x');
    s.Format("[%s]", big.c_str());
    EXPECT_EQ(s.GetLength(), 5002);
    s.AppendFormat("%d", 42);
    EXPECT_EQ(s.Right(3), CString("]42"));
    // A device text holding format directives is data, not a format.
    s.Format("%s", "%n%s%x");
    EXPECT_STREQ(s, "%n%s%x");
}

TEST(CStringTest, HoldsZeroBytesButConvertsUpToTheFirst) {
    CString s("ab\0cd", 5);
    EXPECT_EQ(s.GetLength(), 5);
    EXPECT_STREQ(s, "ab");
    CString fromPointer(static_cast<const char*>(nullptr));
    EXPECT_TRUE(fromPointer.IsEmpty());
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
