#include <gtest/gtest.h>

#include <string>

#include "zodaruruvizi/checks/codediffresults.h"

namespace {

// Every value in every field prints under the field's label; values outside
// the enumeration count as differences and print empty.
TEST(CodeDiffResultsTest, EveryFieldAndValuePrintUnderTheirLabels) {
    DIFFTYPE CCodeDiffResults::*const fields[] = {
        &CCodeDiffResults::m_LC,   &CCodeDiffResults::m_PROM, &CCodeDiffResults::m_BS,
        &CCodeDiffResults::m_CPLD, &CCodeDiffResults::m_MAC,  &CCodeDiffResults::m_R318};
    const char* const labels[] = {"LC", "PROM", "BS", "CPLD", "MAC", "R318"};
    const std::pair<int, const char*> values[] = {
        {DT_SAME, "Same"}, {DT_NEWER, "Newer"}, {DT_OLDER, "Older"}, {DT_FORCED, "Forced"}, {7, ""},
        {-1, ""}};
    for (int i = 0; i < 6; ++i) {
        for (const auto& v : values) {
            CCodeDiffResults results;
            results.*fields[i] = static_cast<DIFFTYPE>(v.first);
            std::string expected;
            for (int j = 0; j < 6; ++j)
                expected += std::string(j ? " " : "") + labels[j] + ":" +
                            (i == j ? v.second : "Same") + ",";
            EXPECT_EQ(std::string(results.ToString()), expected);
            EXPECT_EQ(results.DifferencesFound(), v.first != DT_SAME) << expected;
        }
    }
    EXPECT_STREQ(CCodeDiffResults().ToString(),
                 "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same, R318:Same,");
}

TEST(CodeDiffResultsTest, CopiesAndMovesFieldByFieldLeavingTheSource) {
    CCodeDiffResults source, assigned, moved;
    source.m_LC = DT_NEWER;
    source.m_CPLD = DT_FORCED;
    source.m_R318 = DT_OLDER;
    CCodeDiffResults copy(source);
    assigned = source;
    moved = std::move(source);
    for (CCodeDiffResults* r : {&copy, &assigned, &moved, &source})
        EXPECT_STREQ(r->ToString(),
                     "LC:Newer, PROM:Same, BS:Same, CPLD:Forced, MAC:Same, R318:Older,");
}

}  // namespace
