// The headless widget toolkit and popup library: layout, attribute storage,
// the modal loop and the SVG picture.
#include "hostapi/widgets.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/testenv.h"

namespace {

std::string Rect(int widget) {
    OX_RECT r = {-1, -1, -1, -1};
    return OX_GetRect(widget, &r) ? std::to_string(r.x) + "," + std::to_string(r.y) + " " +
                                        std::to_string(r.width) + "x" + std::to_string(r.height)
                                  : "none";
}
intptr_t Text(const char* text) {
    return reinterpret_cast<intptr_t>(text);
}

// A popup destroyed with the object.
struct Popup {
    CTabPopup* popup;
    int root;
    explicit Popup(int w = 300, int h = 200) : popup(CEsbFrame::BlankPopup(0, w, h, 4)) {
        root = popup->GetRoot();
    }
    ~Popup() { CEsbFrame::DestroyPopup(popup); }
    int Add(int kind, std::vector<OX_ATTR> pairs = {}, int parent = 0) {
        return OX_NewWidget(kind, parent ? parent : root, pairs.data(), int(pairs.size()));
    }
};

// Records every press it is told of, and ends the popup on one widget.
class Recorder : public CObject {
public:
    Recorder(CTabPopup* p, int on, int code) : popup(p), endOn(on), endCode(code) {}
    int OnPress(int widget, CObject* data, int* reason) {
        presses.push_back(widget);
        datas.push_back(data);
        reasons.push_back(reason ? *reason : 0);
        if (endOn == widget)
            popup->EndPopup(endCode);
        return 1;
    }
    std::vector<int> presses, reasons;
    std::vector<CObject*> datas;
    CTabPopup* popup;
    int endOn, endCode;
};
const OX_CALLBACK kOnPress = static_cast<OX_CALLBACK>(&Recorder::OnPress);

TEST(Widgets, HandlesPopupInfoAndLifetime) {
    int root, w;
    {
        Popup p(200, 100);
        root = p.root;
        w = p.Add(OX_KIND_LABEL);
        int b = OX_NewSystemButton(root, OX_BUTTON_TICK, nullptr, 0);
        EXPECT_TRUE(root >= OX_FIRST_HANDLE && w > root && b > w);
        EXPECT_EQ(0, OX_NewWidget(OX_KIND_LABEL, 16, nullptr, 0));
        EXPECT_EQ(0, OX_NewSystemButton(12345, OX_BUTTON_TICK, nullptr, 0));
        OX_POPUP_INFO info;
        ASSERT_TRUE(OX_GetPopupInfo(root, &info));
        EXPECT_EQ((std::vector<int>{0, 200, 100, 4}),
                  (std::vector<int>{info.style, info.width, info.height, info.flags}));
        EXPECT_FALSE(OX_GetPopupInfo(w, &info));
        HICON icon = QL_LoadIcon(101);  // icons are stable per id
        EXPECT_TRUE(icon && icon == QL_LoadIcon(101) && icon != QL_LoadIcon(102));
    }
    // A destroyed popup takes its widgets.
    EXPECT_EQ("none none", Rect(root) + " " + Rect(w));
    EXPECT_EQ(0, OX_SetValue(w, 17, 0, 1));
}

// Root 300 x 200; a sibling label "anchor" at 10,10 of 32 x 32 (right 42,
// bottom 42). Values kAnchor are replaced by the anchor's handle.
const intptr_t kAnchor = -999;

TEST(Widgets, EdgesAndSizesResolveIntoRectangles) {
    const struct {
        std::vector<OX_ATTR> pairs;  // of a label without text
        const char* expected;
    } cases[] = {{{}, "0,0 0x20"},  // top left, natural text height
                 {{{63, 5}, {64, 7}, {55, 50}, {56, 30}}, "5,7 50x30"},
                 {{{63, 16}, {65, 16}, {56, 10}}, "16,0 268x10"},
                 {{{64, 20}, {66, 30}, {55, 10}}, "0,20 10x150"},
                 {{{65, 10}, {66, 20}, {55, 40}, {56, 30}}, "250,150 40x30"},
                 {{{63, kAnchor}, {64, 10}, {55, 20}}, "58,10 20x20"},
                 {{{64, kAnchor}, {63, 16}, {65, 16}, {66, 16}}, "16,58 268x126"},
                 {{{63, 16}}, "16,0 0x20"},                // 16 as a left edge is a distance
                 {{{63, 200}, {65, 200}}, "200,0 0x20"}};  // edges closer than the size
    for (const auto& c : cases) {
        Popup p;
        int anchor = p.Add(OX_KIND_LABEL, {{63, 10}, {64, 10}, {55, 32}, {56, 32}});
        std::vector<OX_ATTR> pairs = c.pairs;
        for (OX_ATTR& a : pairs)
            a.value = a.value == kAnchor ? anchor : a.value;
        EXPECT_EQ(c.expected, Rect(p.Add(OX_KIND_LABEL, pairs)));
    }
    // Children are laid out inside their parent; edge cycles do not hang.
    Popup p;
    int area = p.Add(OX_KIND_AREA, {{63, 20}, {64, 30}, {65, 20}, {66, 30}});
    EXPECT_EQ("220,140 50x20", Rect(p.Add(7, {{65, 10}, {66, 10}, {55, 50}, {56, 20}}, area)));
    int a = p.Add(OX_KIND_LABEL);
    int b = p.Add(OX_KIND_LABEL, {{63, a}, {64, a}});
    OX_SetValue(a, 63, b, 1);
    OX_SetValue(a, 64, b, 1);
    EXPECT_TRUE(Rect(a) != "none" && Rect(b) != "none");
}

TEST(Widgets, NaturalSizesFollowTextAndIcon) {
    Popup p;
    int a = p.Add(OX_KIND_LABEL, {{313, Text("Title")}});
    int b = p.Add(OX_KIND_LABEL, {{313, Text("First\nSecond line")}});
    int c = p.Add(OX_KIND_LABEL, {{309, reinterpret_cast<intptr_t>(QL_LoadIcon(7))}});
    EXPECT_EQ((std::vector<intptr_t>{40, 20, 88, 40, 32}),
              (std::vector<intptr_t>{OX_ValueOf(a, 55), OX_ValueOf(a, 56), OX_ValueOf(b, 55),
                                     OX_ValueOf(b, 56), OX_ValueOf(c, 56)}));
    OX_SetValue(a, 56, 32, 1);
    EXPECT_EQ(32, OX_ValueOf(a, 56));
    EXPECT_EQ("0,0 40x32", Rect(a));
}

TEST(Widgets, TextIsCopiedAndHistoryKeepsWhatWasGiven) {
    Popup p;
    char buffer[16] = "Before";
    int w = p.Add(OX_KIND_LABEL, {{313, Text(buffer)}, {7, 267}});
    std::strcpy(buffer, "Changed");
    EXPECT_STREQ("Before", reinterpret_cast<const char*>(OX_ValueOf(w, 313)));
    long before = OX_GetSetValueCount();
    EXPECT_EQ(1, OX_SetValue(w, 313, Text(buffer), 1));
    std::strcpy(buffer, "Gone");
    EXPECT_STREQ("Changed", reinterpret_cast<const char*>(OX_ValueOf(w, 313)));
    EXPECT_EQ(1, OX_SetValue(w, 313, 0, 1));
    EXPECT_STREQ("", reinterpret_cast<const char*>(OX_ValueOf(w, 313)));
    EXPECT_EQ(0, OX_SetValue(1, 17, 0, 1));
    EXPECT_EQ(before + 3, OX_GetSetValueCount());
    OX_ATTR h[8];
    ASSERT_EQ(4, OX_GetHistory(w, h, 8));
    EXPECT_EQ((std::vector<intptr_t>{313, Text(buffer), 7, 267, 313, Text(buffer), 313, 0}),
              (std::vector<intptr_t>{h[0].attribute, h[0].value, h[1].attribute, h[1].value,
                                     h[2].attribute, h[2].value, h[3].attribute, h[3].value}));
    EXPECT_EQ(4, OX_GetHistory(w, nullptr, 0));
    EXPECT_EQ(-1, OX_GetHistory(1, h, 8));
}

TEST(Widgets, ModalLoopDeliversPressesInOrderUntilEnded) {
    Popup p;
    int a = p.Add(9), b = p.Add(9), hidden = p.Add(9);
    int inHiddenArea = p.Add(9, {}, p.Add(OX_KIND_AREA, {{17, 0}}));
    OX_SetValue(hidden, 17, 0, 1);
    Recorder r(p.popup, b, 7);
    CObject* data = reinterpret_cast<CObject*>(static_cast<intptr_t>(55));
    for (int w : {a, b, hidden, inHiddenArea})
        ASSERT_EQ(1, OX_AddCallback(w, 2, &r, kOnPress, data));
    ASSERT_EQ(1, OX_AddCallback(a, 3, &r, kOnPress, nullptr));  // another reason: not a press
    EXPECT_EQ(0, OX_AddCallback(a, 2, nullptr, kOnPress, nullptr));
    for (int w : {a, hidden, inHiddenArea, a, b, a})
        EXPECT_TRUE(OX_PostPress(w));
    EXPECT_EQ(7, CEsbFrame::DoModalPopup(p.popup));
    EXPECT_EQ((std::vector<int>{a, a, b}), r.presses);
    EXPECT_EQ((std::vector<int>{2, 2, 2}), r.reasons);
    EXPECT_EQ((std::vector<CObject*>{data, data, data}), r.datas);
    OX_POPUP_INFO info;
    ASSERT_TRUE(OX_GetPopupInfo(p.root, &info));
    // Ended, not running, the last press of a dropped.
    EXPECT_EQ((std::vector<int>{1, 0, 0}),
              (std::vector<int>{info.bEnded, info.bRunning, info.queued}));
    EXPECT_FALSE(OX_PostPress(a));
    EXPECT_FALSE(OX_PostPress(12));

    // Ended before its run: returns at once with the first code.
    Popup q;
    q.popup->EndPopup(3);
    q.popup->EndPopup(4);
    EXPECT_EQ(3, CEsbFrame::DoModalPopup(q.popup));
    EXPECT_EQ(-1, CEsbFrame::DoModalPopup(nullptr));

    // Waits for a press from another thread.
    Popup t;
    int button = t.Add(9);
    Recorder waiter(t.popup, button, -1);
    OX_AddCallback(button, 2, &waiter, kOnPress, nullptr);
    std::thread presser([button] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        OX_PostPress(button);
    });
    EXPECT_EQ(-1, CEsbFrame::DoModalPopup(t.popup));
    presser.join();
    EXPECT_EQ(std::vector<int>{button}, waiter.presses);
}

TEST(Widgets, SvgDrawsShownWidgetsAtTheirRectangles) {
    Popup p(320, 240);
    int label = p.Add(OX_KIND_LABEL, {{63, 16}, {64, 16}, {313, Text("A <b> & c")}});
    int tick = OX_NewSystemButton(p.root, OX_BUTTON_TICK, nullptr, 0);
    int cross = OX_NewSystemButton(p.root, OX_BUTTON_CROSS, nullptr, 0);
    OX_SetValue(cross, 17, 0, 1);
    zrtest::TempDir dir;
    ASSERT_TRUE(OX_RenderSvg(p.root, dir.File("w.svg").c_str()));
    const std::string svg = dir.Read("w.svg");
    for (const std::string& part :
         {std::string("width=\"320\" height=\"288\""), std::string("A &lt;b&gt; &amp; c"),
          "<g id=\"w" + std::to_string(label) +
              "\"><rect x=\"16\" y=\"16\" width=\"72\" height=\"20\"",
          "id=\"w" + std::to_string(tick) + "\""})
        EXPECT_NE(std::string::npos, svg.find(part)) << part;
    EXPECT_EQ(std::string::npos, svg.find("id=\"w" + std::to_string(cross) + "\""));
    OX_SetValue(p.root, 17, 0, 1);
    ASSERT_TRUE(OX_RenderSvg(p.root, dir.File("w.svg").c_str()));
    EXPECT_EQ(std::string::npos, dir.Read("w.svg").find("id=\"w"));
    EXPECT_FALSE(OX_RenderSvg(label, dir.File("w.svg").c_str()));
    EXPECT_FALSE(OX_RenderSvg(p.root, dir.File("no/x.svg").c_str()));
}

}  // namespace
