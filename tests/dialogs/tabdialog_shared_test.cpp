// A host's dialog built on the shared library's exported tab dialog.
#include "tests/support/tempdir.h"
#include "zodaruruvizi/zodaruruvizi.h"

#include <gtest/gtest.h>

#include <utility>
#include <string>

namespace {

class DeviceDialog : public CTabDialog {
public:
    DeviceDialog() : CTabDialog(420, 260) {
        SetTitle("Gateway 192.168.0.10");
        SetIcon(3);
    }
    int lastCode = 0;
    int label = 0;
    int field = 0;

protected:
    void CreateContents() override {
        const intptr_t release = reinterpret_cast<intptr_t>("Release"),
                       value = reinterpret_cast<intptr_t>("4.2.1 (Same)");
        const OX_ATTR labelPairs[] = {{63, 12}, {64, 12}, {313, release}};
        label = OX_NewWidget(3, m_ContentArea, labelPairs, 3);
        const OX_ATTR fieldPairs[] = {{63, label}, {64, 10}, {65, 12}, {56, 24}, {313, value}};
        field = OX_NewWidget(9, m_ContentArea, fieldPairs, 5);
        HideGoBackButton();
        OX_PostPress(m_TickButton);
    }
    void OnEndDialog(int nEndCode) override { lastCode = nEndCode; }

public:
    int Root() const { return m_Root; }
    int Content() const { return m_ContentArea; }
};

TEST(TabDialogShared, HostDialogRunsAndDraws) {
    DeviceDialog dialog;
    EXPECT_EQ(1, dialog.DoModal());
    EXPECT_EQ(1, dialog.lastCode);

    OX_RECT content, label;
    ASSERT_TRUE(OX_GetRect(dialog.Content(), &content));
    ASSERT_TRUE(OX_GetRect(dialog.label, &label));
    EXPECT_EQ(std::make_pair(content.x + 12, content.y + 12), std::make_pair(label.x, label.y));

    const zrtest::TempDir dir;
    ASSERT_TRUE(OX_RenderSvg(dialog.Root(), dir.File("dialog.svg").c_str()));
    const std::string svg = dir.Read("dialog.svg");
    EXPECT_NE(std::string::npos, svg.find("Gateway 192.168.0.10"));
    EXPECT_NE(std::string::npos, svg.find("4.2.1 (Same)"));
    EXPECT_NE(std::string::npos, svg.find("fill=\"#FFFFFF\" stroke=\"#9A9A9A\""));
}

}  // namespace
