// CTabDialog on the headless toolkit: how runs end, the frame it builds (what
// the toolkit received, in order, and the resulting geometry), titles and
// icons before and during a run.
#include "zodaruruvizi/dialogs/tabdialog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

class TestDialog : public CTabDialog {
public:
    TestDialog(int width = 400, int height = 300) : CTabDialog(width, height) {}
    using CTabDialog::m_ContentArea;
    using CTabDialog::m_CrossButton;
    using CTabDialog::m_GoBackButton;
    using CTabDialog::m_hIcon;
    using CTabDialog::m_IconWidget;
    using CTabDialog::m_pPopup;
    using CTabDialog::m_Root;
    using CTabDialog::m_TickButton;
    using CTabDialog::m_Title;
    using CTabDialog::m_TitleWidget;

    // Adds a plain button to the content area whose press calls action.
    int AddButton(std::function<void()> action) {
        int button = OX_NewWidget(9, m_ContentArea, nullptr, 0);
        actions.emplace_back(button, std::move(action));
        OX_AddCallback(button, 2, this, static_cast<OX_CALLBACK>(&TestDialog::OnOwn), nullptr);
        return button;
    }
    std::function<void(TestDialog&)> onCreate;
    int createCount = 0;
    std::vector<int> endCodes;
    std::vector<bool> endedWhenTold;  // whether the popup had ended at each OnEndDialog
    std::vector<std::string> calls;   // of the overrides below

    // A derived class's overrides receive the button events and the end.
    int ButtonCallback(int nWidget, CObject* pClientData, int* pCallData) override {
        calls.push_back("ButtonCallback");
        return CTabDialog::ButtonCallback(nWidget, pClientData, pCallData);
    }
    void EndDialog(int nEndCode) override {
        calls.push_back("EndDialog " + std::to_string(nEndCode));
        CTabDialog::EndDialog(nEndCode);
    }

protected:
    void CreateContents() override {
        ++createCount;
        if (onCreate)
            onCreate(*this);
    }
    void OnEndDialog(int nEndCode) override {
        endCodes.push_back(nEndCode);
        OX_POPUP_INFO info = {};
        endedWhenTold.push_back(m_pPopup && OX_GetPopupInfo(m_Root, &info) && info.bEnded);
    }

private:
    int OnOwn(int widget, CObject*, int*) {
        for (auto& action : actions)
            if (action.first == widget)
                action.second();
        return 1;
    }
    std::vector<std::pair<int, std::function<void()>>> actions;
};

std::vector<intptr_t> History(int widget) {
    std::vector<OX_ATTR> pairs(32);
    pairs.resize(std::max(0, OX_GetHistory(widget, pairs.data(), 32)));
    std::vector<intptr_t> flat;
    for (const OX_ATTR& p : pairs) {
        flat.push_back(p.attribute);
        flat.push_back(p.value);
    }
    return flat;
}
OX_RECT Rect(int widget) {
    OX_RECT r = {-1, -1, -1, -1};
    EXPECT_TRUE(OX_GetRect(widget, &r));
    return r;
}
CObject* Data(int handle) {
    return reinterpret_cast<CObject*>(static_cast<intptr_t>(handle));
}

TEST(TabDialog, StandardButtonsEndTheRunWithTheirCode) {
    enum { kTick, kCross, kGoBack, kCrossFromThread };
    const std::pair<int, int> cases[] = {
        {kTick, 1}, {kCross, -1}, {kGoBack, -1}, {kCrossFromThread, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        TestDialog d;
        std::promise<int> cross;
        std::thread presser;
        if (c.first == kCrossFromThread)
            presser = std::thread([&cross] { OX_PostPress(cross.get_future().get()); });
        d.onCreate = [&](TestDialog& self) {
            if (c.first == kCrossFromThread)
                return cross.set_value(self.m_CrossButton);
            const int buttons[] = {self.m_TickButton, self.m_CrossButton, self.m_GoBackButton};
            ASSERT_TRUE(OX_PostPress(buttons[c.first]));
        };
        EXPECT_EQ(c.second, d.DoModal());
        if (presser.joinable())
            presser.join();
        EXPECT_EQ(std::vector<int>{c.second}, d.endCodes);
        EXPECT_EQ(std::vector<bool>{false}, d.endedWhenTold);
        EXPECT_EQ(
            (std::vector<std::string>{"ButtonCallback", "EndDialog " + std::to_string(c.second)}),
            d.calls);
        EXPECT_EQ(nullptr, d.m_pPopup);
        OX_POPUP_INFO info = {};
        EXPECT_TRUE(OX_GetPopupInfo(d.m_Root, &info) && info.bEnded && info.endCode == c.second);
    }
}

TEST(TabDialog, ButtonCallbackEndsOnlyForItsButtonsAndTheFirstEndCounts) {
    TestDialog d;
    d.onCreate = [](TestDialog& self) {
        EXPECT_EQ(1, self.ButtonCallback(self.m_TickButton, Data(self.m_ContentArea), nullptr));
        EXPECT_TRUE(self.endCodes.empty());
        for (int button : {self.m_CrossButton, self.m_GoBackButton, self.m_TickButton})
            EXPECT_EQ(1, self.ButtonCallback(0, Data(button), nullptr));
    };
    EXPECT_EQ(-1, d.DoModal());
    EXPECT_EQ((std::vector<int>{-1, -1, 1}), d.endCodes);
}

TEST(TabDialog, EveryRunBuildsANewFrameAndEndingOutsideARunOnlyNotifies) {
    TestDialog d;
    long calls = OX_GetSetValueCount();
    d.EndDialog(5);
    EXPECT_EQ(calls, OX_GetSetValueCount());
    std::vector<std::vector<int>> handles;
    d.onCreate = [&](TestDialog& self) {
        handles.push_back({self.m_Root, self.m_TickButton, self.m_CrossButton, self.m_GoBackButton,
                           self.m_IconWidget, self.m_TitleWidget, self.m_ContentArea});
        OX_PostPress(handles.size() == 1 ? self.m_GoBackButton : self.m_TickButton);
    };
    EXPECT_EQ(-1, d.DoModal());
    EXPECT_EQ(1, d.DoModal());
    d.EndDialog(-1);  // the popup is forgotten after a run
    EXPECT_EQ(2, d.createCount);
    ASSERT_EQ(2u, handles.size());
    for (size_t i = 0; i < handles[0].size(); ++i)
        EXPECT_GT(handles[1][i], handles[0].back());
    EXPECT_EQ((std::vector<int>{5, -1, 1, -1}), d.endCodes);
}

TEST(TabDialog, TitleAndIconChangeAtOnceDuringARun) {
    TestDialog d;
    d.SetTitle("Before");
    d.onCreate = [](TestDialog& self) {
        OX_PostPress(self.AddButton([&self] {
            std::string text = "Renamed";
            self.SetTitle(text.c_str());
            text = "overwritten";  // the toolkit keeps its own copy
            EXPECT_STREQ("Renamed",
                         reinterpret_cast<const char*>(OX_ValueOf(self.m_TitleWidget, 313)));
            self.SetIcon(9);
            EXPECT_EQ(reinterpret_cast<intptr_t>(QL_LoadIcon(9)),
                      OX_ValueOf(self.m_IconWidget, 309));
        }));
        OX_PostPress(self.m_TickButton);
    };
    EXPECT_EQ(1, d.DoModal());
    EXPECT_STREQ("Renamed", d.m_Title);
    EXPECT_EQ(QL_LoadIcon(9), d.m_hIcon);
}

TEST(TabDialog, HiddenButtonsCannotBePressed) {
    for (int hidden = 0; hidden < 8; ++hidden) {
        SCOPED_TRACE(hidden);
        TestDialog d;
        const bool tick = hidden & 1, cross = hidden & 2, goBack = hidden & 4;
        d.onCreate = [&](TestDialog& self) {
            if (tick)
                self.HideTickButton();
            if (cross)
                self.HideCrossButton();
            if (goBack)
                self.HideGoBackButton();
            // The first shown one ends the run.
            for (int b : {self.m_TickButton, self.m_CrossButton, self.m_GoBackButton})
                OX_PostPress(b);
            OX_PostPress(self.AddButton([&self] { self.EndDialog(42); }));
        };
        EXPECT_EQ(!tick ? 1 : (!cross || !goBack) ? -1 : 42, d.DoModal());
        EXPECT_EQ(!tick, OX_IsShown(d.m_TickButton));
        EXPECT_EQ(!cross, OX_IsShown(d.m_CrossButton));
        EXPECT_EQ(!goBack, OX_IsShown(d.m_GoBackButton));
        EXPECT_TRUE(OX_IsShown(d.m_ContentArea));
    }
    // Showing a hidden button during the run makes it pressable.
    TestDialog d;
    d.onCreate = [](TestDialog& self) {
        self.HideTickButton();
        int show = self.AddButton([&self] {
            self.ShowTickButton();
            OX_PostPress(self.m_TickButton);
        });
        OX_PostPress(self.m_TickButton);  // hidden: ignored
        OX_PostPress(show);
    };
    EXPECT_EQ(1, d.DoModal());
    EXPECT_EQ(std::vector<int>{1}, d.endCodes);
}

// The frame: what the toolkit received, in order, and the resulting geometry.
TEST(TabDialog, FrameTable) {
    const struct {
        int width, height;
        const char* title;
        int titleHeight;  // one text line is 20: raised to the icon's 32
    } cases[] = {{360, 240, "Check gateway", 32},
                 {250, 180, "", 32},
                 {640, 480, "Two\nlines", 40},
                 {300, 200, "Three\nline\ntitle", 60}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        TestDialog d(c.width, c.height);
        long calls = OX_GetSetValueCount();
        d.SetTitle(c.title);
        d.SetIcon(17);
        // Kept until the frame is built.
        EXPECT_TRUE(calls == OX_GetSetValueCount() && d.m_hIcon == QL_LoadIcon(17) &&
                    !d.m_TitleWidget);
        EXPECT_STREQ(c.title, d.m_Title);
        intptr_t title = 0;
        d.onCreate = [&](TestDialog& self) {
            title = reinterpret_cast<intptr_t>(self.m_Title.GetString());
            OX_PostPress(self.m_TickButton);
        };
        ASSERT_EQ(1, d.DoModal());
        const int root = d.m_Root;
        OX_POPUP_INFO popup;
        ASSERT_TRUE(OX_GetPopupInfo(root, &popup));
        EXPECT_EQ((std::vector<int>{0, c.width, c.height, 4}),
                  (std::vector<int>{popup.style, popup.width, popup.height, popup.flags}));
        const intptr_t icon = reinterpret_cast<intptr_t>(QL_LoadIcon(17)), t = d.m_TitleWidget;
        std::vector<intptr_t> titlePairs = {
            63, d.m_IconWidget, 65, 16, 64, 16, 313, title, 7, 267, 312, 1, 6, 33, 15, 2};
        if (c.titleHeight == 32)  // one line of text: raised to the icon's height
            titlePairs.insert(titlePairs.end(), {56, 32});
        const struct {
            int handle, kind, type, pairCount;  // type: of a system button
            std::vector<intptr_t> history;      // attribute, value, ...
        } widgets[] = {
            // in creation order
            {root, -1, 0, 0, {17, 0, 17, 1}},
            {d.m_TickButton, OX_KIND_SYSTEM, 1, 0, {17, 1}},
            {d.m_CrossButton, OX_KIND_SYSTEM, 2, 0, {17, 1}},
            {d.m_GoBackButton, OX_KIND_SYSTEM, 32, 0, {401, 2, 17, 1}},
            {d.m_IconWidget, 3, 0, 6, {63, 16, 64, 16, 55, 32, 56, 32, 301, 1, 309, icon}},
            {d.m_TitleWidget, 3, 0, 8, titlePairs},
            {d.m_ContentArea, 2, 0, 6, {64, t, 63, 16, 65, 16, 66, 16, 8, 0xFFFFFF, 50, 7}}};
        int previous = 0;
        for (const auto& w : widgets) {
            SCOPED_TRACE(w.handle - root);
            EXPECT_GT(w.handle, previous);
            previous = w.handle;
            EXPECT_EQ(w.history, History(w.handle));
            OX_WIDGET_INFO info = {-1, -1, -1, -1};
            if (w.kind < 0)
                continue;
            EXPECT_TRUE(OX_GetWidgetInfo(w.handle, &info));
            EXPECT_EQ((std::vector<int>{root, w.kind, w.pairCount}),
                      (std::vector<int>{info.parent, info.kind, info.pairCount}));
            EXPECT_TRUE(w.kind != OX_KIND_SYSTEM || info.buttonType == w.type);
        }
        EXPECT_STREQ(c.title, reinterpret_cast<const char*>(OX_ValueOf(d.m_TitleWidget, 313)));

        OX_RECT r = Rect(root), i = Rect(d.m_IconWidget), tr = Rect(d.m_TitleWidget),
                a = Rect(d.m_ContentArea);
        EXPECT_EQ(
            (std::vector<int>{c.width, c.height, 16, 16, 32, 32, 16, c.width - 16, c.titleHeight,
                              16, c.width - 16, c.height - 16}),
            (std::vector<int>{r.width, r.height, i.x, i.y, i.width, i.height, tr.y, tr.x + tr.width,
                              tr.height, a.x, a.x + a.width, a.y + a.height}));
        EXPECT_GE(tr.x, i.x + i.width);
        EXPECT_GE(a.y, tr.y + tr.height);
        // The system buttons lie below the frame's widgets, within the popup's width.
        for (int button : {d.m_TickButton, d.m_CrossButton, d.m_GoBackButton}) {
            OX_RECT b = Rect(button);
            EXPECT_TRUE(b.y >= c.height && b.x >= 0 && b.x + b.width <= c.width) << button;
        }
    }
}

}  // namespace
