#include <gtest/gtest.h>

#include "zodaruruvizi/checks/codediffresults.h"

namespace {

TEST(CodeDiffResultsTest, FreshResultsAreAllSame) {
    CCodeDiffResults results;
    EXPECT_FALSE(results.DifferencesFound());
    EXPECT_STREQ(results.ToString(),
                 "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same, R318:Same,");
}

TEST(CodeDiffResultsTest, EveryFieldPrintsUnderItsOwnLabel) {
    DIFFTYPE CCodeDiffResults::*const fields[] = {
        &CCodeDiffResults::m_LC,   &CCodeDiffResults::m_PROM, &CCodeDiffResults::m_BS,
        &CCodeDiffResults::m_CPLD, &CCodeDiffResults::m_MAC,  &CCodeDiffResults::m_R318};
    const char* const expected[] = {
        "LC:Older, PROM:Same, BS:Same, CPLD:Same, MAC:Same, R318:Same,",
        "LC:Same, PROM:Older, BS:Same, CPLD:Same, MAC:Same, R318:Same,",
        "LC:Same, PROM:Same, BS:Older, CPLD:Same, MAC:Same, R318:Same,",
        "LC:Same, PROM:Same, BS:Same, CPLD:Older, MAC:Same, R318:Same,",
        "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Older, R318:Same,",
        "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same, R318:Older,"};
    for (int i = 0; i < 6; ++i) {
        CCodeDiffResults results;
        results.*fields[i] = DT_OLDER;
        EXPECT_TRUE(results.DifferencesFound());
        EXPECT_STREQ(results.ToString(), expected[i]);
    }
}

TEST(CodeDiffResultsTest, ValuesOutsideTheEnumerationCountAndPrintEmpty) {
    const struct {
        DIFFTYPE value;
        const char* text;
    } cases[] = {{DT_SAME, "Same"},
                 {DT_NEWER, "Newer"},
                 {DT_OLDER, "Older"},
                 {DT_FORCED, "Forced"},
                 {static_cast<DIFFTYPE>(7), ""},
                 {static_cast<DIFFTYPE>(-1), ""}};
    for (const auto& c : cases) {
        CCodeDiffResults results;
        results.m_LC = c.value;
        EXPECT_EQ(results.DifferencesFound(), c.value != DT_SAME);
        const CString expected =
            CString("LC:") + c.text + ", PROM:Same, BS:Same, CPLD:Same, MAC:Same, R318:Same,";
        EXPECT_STREQ(results.ToString(), expected);
    }
    CCodeDiffResults onlyR318;
    onlyR318.m_R318 = DT_NEWER;
    EXPECT_TRUE(onlyR318.DifferencesFound());
}

TEST(CodeDiffResultsTest, CopiesAndMovesFieldByFieldLeavingTheSource) {
    CCodeDiffResults source;
    source.m_LC = DT_NEWER;
    source.m_CPLD = DT_FORCED;
    source.m_R318 = DT_OLDER;
    CCodeDiffResults copy(source);
    CCodeDiffResults assigned;
    assigned = source;
    CCodeDiffResults moved;
    moved = std::move(source);
    for (CCodeDiffResults* r : {&copy, &assigned, &moved, &source}) {
        EXPECT_STREQ(r->ToString(),
                     "LC:Newer, PROM:Same, BS:Same, CPLD:Forced, MAC:Same, R318:Older,");
    }
}

}  // namespace
