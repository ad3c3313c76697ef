// The headless widget toolkit and popup library: layout, attribute storage,
// the modal loop and the SVG picture.
#include "hostapi/widgets.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

OX_RECT RectOf(int widget) {
    OX_RECT r = {-1, -1, -1, -1};
    EXPECT_TRUE(OX_GetRect(widget, &r));
    return r;
}

// Records every press it is told of.
class Recorder : public CObject {
public:
    int OnPress(int widget, CObject* clientData, int* reason) {
        presses.push_back(widget);
        clientDatas.push_back(clientData);
        reasons.push_back(reason ? *reason : 0);
        if (endOn == widget && popup != nullptr) {
            popup->EndPopup(endCode);
        }
        return 1;
    }
    std::vector<int> presses;
    std::vector<CObject*> clientDatas;
    std::vector<int> reasons;
    CTabPopup* popup = nullptr;
    int endOn = 0;
    int endCode = 0;
};

const OX_CALLBACK kOnPress = static_cast<OX_CALLBACK>(&Recorder::OnPress);

TEST(Widgets, HandlesAreNeverSmallDistances) {
    CTabPopup* popup = CEsbFrame::BlankPopup(0, 200, 100, 4);
    int root = popup->GetRoot();
    int a = OX_NewWidget(OX_KIND_LABEL, root, nullptr, 0);
    int b = OX_NewSystemButton(root, OX_BUTTON_TICK, nullptr, 0);
    EXPECT_GE(root, OX_FIRST_HANDLE);
    EXPECT_GT(a, root);
    EXPECT_GT(b, a);
    EXPECT_EQ(0, OX_NewWidget(OX_KIND_LABEL, 16, nullptr, 0));
    EXPECT_EQ(0, OX_NewSystemButton(12345, OX_BUTTON_TICK, nullptr, 0));
    OX_POPUP_INFO info;
    ASSERT_TRUE(OX_GetPopupInfo(root, &info));
    EXPECT_EQ(0, info.style);
    EXPECT_EQ(200, info.width);
    EXPECT_EQ(100, info.height);
    EXPECT_EQ(4, info.flags);
    EXPECT_FALSE(OX_GetPopupInfo(a, &info));
    CEsbFrame::DestroyPopup(popup);
}

struct LayoutCase {
    const char* name;
    std::vector<OX_ATTR> pairs;  // of the widget under test, a label without text
    OX_RECT expected;
};

// Root 300 x 200; a sibling label "anchor" at 10,10 of 32 x 32 (right 42,
// bottom 42). Values kAnchor are replaced by the anchor's handle.
const intptr_t kAnchor = -999;

TEST(Widgets, EdgesAndSizesResolveIntoRectangles) {
    const std::vector<LayoutCase> cases = {
        {"defaults: top left, natural text height", {}, {0, 0, 0, 20}},
        {"distances from the near edges", {{63, 5}, {64, 7}, {55, 50}, {56, 30}}, {5, 7, 50, 30}},
        {"both horizontal edges stretch", {{63, 16}, {65, 16}, {56, 10}}, {16, 0, 268, 10}},
        {"both vertical edges stretch", {{64, 20}, {66, 30}, {55, 10}}, {0, 20, 10, 150}},
        {"far edges only", {{65, 10}, {66, 20}, {55, 40}, {56, 30}}, {250, 150, 40, 30}},
        {"left against a widget", {{63, kAnchor}, {64, 10}, {55, 20}}, {58, 10, 20, 20}},
        {"top against a widget", {{64, kAnchor}, {63, 16}, {65, 16}, {66, 16}}, {16, 58, 268, 126}},
        {"16 as a left edge is a distance", {{63, 16}}, {16, 0, 0, 20}},
        {"edges closer than the size leave nothing", {{63, 200}, {65, 200}}, {200, 0, 0, 20}},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        CTabPopup* popup = CEsbFrame::BlankPopup(0, 300, 200, 4);
        int root = popup->GetRoot();
        const OX_ATTR anchorPairs[] = {{63, 10}, {64, 10}, {55, 32}, {56, 32}};
        int anchor = OX_NewWidget(OX_KIND_LABEL, root, anchorPairs, 4);
        std::vector<OX_ATTR> pairs = c.pairs;
        for (OX_ATTR& p : pairs) {
            if (p.value == kAnchor) {
                p.value = anchor;
            }
        }
        int w = OX_NewWidget(OX_KIND_LABEL, root, pairs.data(), static_cast<int>(pairs.size()));
        OX_RECT r = RectOf(w);
        EXPECT_EQ(c.expected.x, r.x);
        EXPECT_EQ(c.expected.y, r.y);
        EXPECT_EQ(c.expected.width, r.width);
        EXPECT_EQ(c.expected.height, r.height);
        CEsbFrame::DestroyPopup(popup);
    }
}

TEST(Widgets, ChildrenAreLaidOutInsideTheirParent) {
    CTabPopup* popup = CEsbFrame::BlankPopup(0, 300, 200, 4);
    const OX_ATTR areaPairs[] = {{63, 20}, {64, 30}, {65, 20}, {66, 30}};
    int area = OX_NewWidget(OX_KIND_AREA, popup->GetRoot(), areaPairs, 4);
    const OX_ATTR childPairs[] = {{65, 10}, {66, 10}, {55, 50}, {56, 20}};
    int child = OX_NewWidget(7, area, childPairs, 4);
    OX_RECT r = RectOf(child);
    EXPECT_EQ(300 - 20 - 10 - 50, r.x);
    EXPECT_EQ(200 - 30 - 10 - 20, r.y);
    CEsbFrame::DestroyPopup(popup);
}

TEST(Widgets, NaturalSizesFollowTextAndIcon) {
    CTabPopup* popup = CEsbFrame::BlankPopup(0, 300, 200, 4);
    int root = popup->GetRoot();
    const OX_ATTR oneLine[] = {{313, reinterpret_cast<intptr_t>("Title")}};
    const OX_ATTR twoLines[] = {{313, reinterpret_cast<intptr_t>("First\nSecond line")}};
    const OX_ATTR iconOnly[] = {{309, reinterpret_cast<intptr_t>(QL_LoadIcon(7))}};
    int a = OX_NewWidget(OX_KIND_LABEL, root, oneLine, 1);
    int b = OX_NewWidget(OX_KIND_LABEL, root, twoLines, 1);
    int c = OX_NewWidget(OX_KIND_LABEL, root, iconOnly, 1);
    EXPECT_EQ(20, OX_ValueOf(a, 56));
    EXPECT_LT(OX_ValueOf(a, 56), 32);
    EXPECT_EQ(5 * 8, OX_ValueOf(a, 55));
    EXPECT_EQ(40, OX_ValueOf(b, 56));
    EXPECT_EQ(11 * 8, OX_ValueOf(b, 55));
    EXPECT_EQ(32, OX_ValueOf(c, 56));
    OX_SetValue(a, 56, 32, 1);
    EXPECT_EQ(32, OX_ValueOf(a, 56));
    EXPECT_EQ(32, RectOf(a).height);
    CEsbFrame::DestroyPopup(popup);
}

TEST(Widgets, EdgeCyclesDoNotHang) {
    CTabPopup* popup = CEsbFrame::BlankPopup(0, 300, 200, 4);
    int root = popup->GetRoot();
    int a = OX_NewWidget(OX_KIND_LABEL, root, nullptr, 0);
    const OX_ATTR bPairs[] = {{63, a}, {64, a}};
    int b = OX_NewWidget(OX_KIND_LABEL, root, bPairs, 2);
    OX_SetValue(a, 63, b, 1);
    OX_SetValue(a, 64, b, 1);
    OX_RECT r;
    EXPECT_TRUE(OX_GetRect(a, &r));
    EXPECT_TRUE(OX_GetRect(b, &r));
    CEsbFrame::DestroyPopup(popup);
}

TEST(Widgets, TextIsCopiedAndHistoryKeepsWhatWasGiven) {
    CTabPopup* popup = CEsbFrame::BlankPopup(0, 300, 200, 4);
    char buffer[16];
    std::strcpy(buffer, "Before");
    const OX_ATTR pairs[] = {{313, reinterpret_cast<intptr_t>(buffer)}, {7, 267}};
    int w = OX_NewWidget(OX_KIND_LABEL, popup->GetRoot(), pairs, 2);
    std::strcpy(buffer, "Changed");
    EXPECT_STREQ("Before", reinterpret_cast<const char*>(OX_ValueOf(w, 313)));

    long before = OX_GetSetValueCount();
    EXPECT_EQ(1, OX_SetValue(w, 313, reinterpret_cast<intptr_t>(buffer), 1));
    std::strcpy(buffer, "Gone");
    EXPECT_STREQ("Changed", reinterpret_cast<const char*>(OX_ValueOf(w, 313)));
    EXPECT_EQ(1, OX_SetValue(w, 313, 0, 1));
    EXPECT_STREQ("", reinterpret_cast<const char*>(OX_ValueOf(w, 313)));
    EXPECT_EQ(0, OX_SetValue(1, 17, 0, 1));
    EXPECT_EQ(before + 3, OX_GetSetValueCount());

    OX_ATTR history[8];
    ASSERT_EQ(4, OX_GetHistory(w, history, 8));
    EXPECT_EQ(313, history[0].attribute);
    EXPECT_EQ(reinterpret_cast<intptr_t>(buffer), history[0].value);
    EXPECT_EQ(7, history[1].attribute);
    EXPECT_EQ(267, history[1].value);
    EXPECT_EQ(313, history[2].attribute);
    EXPECT_EQ(313, history[3].attribute);
    EXPECT_EQ(0, history[3].value);
    EXPECT_EQ(4, OX_GetHistory(w, nullptr, 0));
    EXPECT_EQ(-1, OX_GetHistory(1, history, 8));
    CEsbFrame::DestroyPopup(popup);
}

TEST(Widgets, IconsAreStablePerId) {
    HICON a = QL_LoadIcon(101);
    EXPECT_NE(nullptr, a);
    EXPECT_EQ(a, QL_LoadIcon(101));
    EXPECT_NE(a, QL_LoadIcon(102));
}

TEST(Widgets, ModalLoopDeliversPressesInOrderUntilEnded) {
    CTabPopup* popup = CEsbFrame::BlankPopup(0, 300, 200, 4);
    int root = popup->GetRoot();
    int a = OX_NewWidget(9, root, nullptr, 0);
    int b = OX_NewWidget(9, root, nullptr, 0);
    int hidden = OX_NewWidget(9, root, nullptr, 0);
    const OX_ATTR hide[] = {{17, 0}};
    int area = OX_NewWidget(OX_KIND_AREA, root, hide, 1);
    int inHiddenArea = OX_NewWidget(9, area, nullptr, 0);
    OX_SetValue(hidden, 17, 0, 1);
    Recorder r;
    r.popup = popup;
    r.endOn = b;
    r.endCode = 7;
    CObject* data = reinterpret_cast<CObject*>(static_cast<intptr_t>(55));
    for (int w : {a, b, hidden, inHiddenArea}) {
        ASSERT_EQ(1, OX_AddCallback(w, 2, &r, kOnPress, data));
    }
    ASSERT_EQ(1, OX_AddCallback(a, 3, &r, kOnPress, nullptr));  // another reason: not a press
    EXPECT_EQ(0, OX_AddCallback(a, 2, nullptr, kOnPress, nullptr));

    for (int w : {a, hidden, inHiddenArea, a, b, a}) {
        EXPECT_TRUE(OX_PostPress(w));
    }
    EXPECT_EQ(7, CEsbFrame::DoModalPopup(popup));
    EXPECT_EQ((std::vector<int>{a, a, b}), r.presses);
    EXPECT_EQ((std::vector<CObject*>{data, data, data}), r.clientDatas);
    EXPECT_EQ((std::vector<int>{2, 2, 2}), r.reasons);

    OX_POPUP_INFO info;
    ASSERT_TRUE(OX_GetPopupInfo(root, &info));
    EXPECT_TRUE(info.bEnded);
    EXPECT_FALSE(info.bRunning);
    EXPECT_EQ(0, info.queued);  // the last press of a was dropped
    EXPECT_FALSE(OX_PostPress(a));
    EXPECT_FALSE(OX_PostPress(12));
    CEsbFrame::DestroyPopup(popup);
    OX_RECT gone;
    EXPECT_FALSE(OX_GetRect(a, &gone));
}

TEST(Widgets, PopupEndedBeforeItsRunReturnsAtOnceWithTheFirstCode) {
    CTabPopup* popup = CEsbFrame::BlankPopup(0, 300, 200, 4);
    popup->EndPopup(3);
    popup->EndPopup(4);
    EXPECT_EQ(3, CEsbFrame::DoModalPopup(popup));
    EXPECT_EQ(-1, CEsbFrame::DoModalPopup(nullptr));
    CEsbFrame::DestroyPopup(popup);
}

TEST(Widgets, ModalLoopWaitsForAPressFromAnotherThread) {
    CTabPopup* popup = CEsbFrame::BlankPopup(0, 300, 200, 4);
    int button = OX_NewWidget(9, popup->GetRoot(), nullptr, 0);
    Recorder r;
    r.popup = popup;
    r.endOn = button;
    r.endCode = -1;
    OX_AddCallback(button, 2, &r, kOnPress, nullptr);
    std::thread presser([button] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        OX_PostPress(button);
    });
    EXPECT_EQ(-1, CEsbFrame::DoModalPopup(popup));
    presser.join();
    EXPECT_EQ(std::vector<int>{button}, r.presses);
    CEsbFrame::DestroyPopup(popup);
}

TEST(Widgets, DestroyedPopupTakesItsWidgets) {
    CTabPopup* popup = CEsbFrame::BlankPopup(0, 300, 200, 4);
    int root = popup->GetRoot();
    int w = OX_NewWidget(OX_KIND_LABEL, root, nullptr, 0);
    CEsbFrame::DestroyPopup(popup);
    OX_RECT r;
    EXPECT_FALSE(OX_GetRect(root, &r));
    EXPECT_FALSE(OX_GetRect(w, &r));
    EXPECT_EQ(0, OX_SetValue(w, 17, 0, 1));
}

TEST(Widgets, SvgDrawsShownWidgetsAtTheirRectangles) {
    CTabPopup* popup = CEsbFrame::BlankPopup(0, 320, 240, 4);
    int root = popup->GetRoot();
    const OX_ATTR labelPairs[] = {
        {63, 16}, {64, 16}, {313, reinterpret_cast<intptr_t>("A <b> & c")}};
    int label = OX_NewWidget(OX_KIND_LABEL, root, labelPairs, 3);
    int tick = OX_NewSystemButton(root, OX_BUTTON_TICK, nullptr, 0);
    int cross = OX_NewSystemButton(root, OX_BUTTON_CROSS, nullptr, 0);
    OX_SetValue(cross, 17, 0, 1);
    const std::string path = ::testing::TempDir() + "widgets_svg_test.svg";
    ASSERT_TRUE(OX_RenderSvg(root, path.c_str()));
    std::string svg = ReadFile(path);
    EXPECT_NE(std::string::npos, svg.find("width=\"320\" height=\"288\""));
    EXPECT_NE(std::string::npos, svg.find("<g id=\"w" + std::to_string(label) +
                                          "\"><rect x=\"16\" y=\"16\" width=\"72\" height=\"20\""));
    EXPECT_NE(std::string::npos, svg.find("A &lt;b&gt; &amp; c"));
    EXPECT_NE(std::string::npos, svg.find("id=\"w" + std::to_string(tick) + "\""));
    EXPECT_EQ(std::string::npos, svg.find("id=\"w" + std::to_string(cross) + "\""));

    OX_SetValue(root, 17, 0, 1);
    ASSERT_TRUE(OX_RenderSvg(root, path.c_str()));
    EXPECT_EQ(std::string::npos, ReadFile(path).find("id=\"w"));
    EXPECT_FALSE(OX_RenderSvg(label, path.c_str()));
    EXPECT_FALSE(OX_RenderSvg(root, "/nonexistent-dir/x.svg"));
    CEsbFrame::DestroyPopup(popup);
}

}  // namespace
