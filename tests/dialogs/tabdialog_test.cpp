// CTabDialog on the headless toolkit: how runs end, the frame it builds (what
// the toolkit received, in order, and the resulting geometry), titles and
// icons before and during a run.
#include "zodaruruvizi/dialogs/tabdialog.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

class TestDialog : public CTabDialog {
public:
    TestDialog(int width = 400, int height = 300) : CTabDialog(width, height) {}

    using CTabDialog::ButtonCallback;
    using CTabDialog::EndDialog;
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
        m_Actions.emplace_back(button, std::move(action));
        OX_AddCallback(button, 2, this, static_cast<OX_CALLBACK>(&TestDialog::OnOwnButton),
                       nullptr);
        return button;
    }

    std::function<void(TestDialog&)> onCreate;
    int createCount = 0;
    std::vector<int> endCodes;
    std::vector<bool> endedWhenTold;  // whether the popup had ended at each OnEndDialog

protected:
    void CreateContents() override {
        ++createCount;
        if (onCreate) {
            onCreate(*this);
        }
    }
    void OnEndDialog(int nEndCode) override {
        endCodes.push_back(nEndCode);
        OX_POPUP_INFO info = {};
        endedWhenTold.push_back(m_pPopup != nullptr && OX_GetPopupInfo(m_Root, &info) &&
                                info.bEnded);
    }

private:
    int OnOwnButton(int widget, CObject*, int*) {
        for (auto& action : m_Actions) {
            if (action.first == widget) {
                action.second();
            }
        }
        return 1;
    }
    std::vector<std::pair<int, std::function<void()>>> m_Actions;
};

std::vector<OX_ATTR> History(int widget) {
    int n = OX_GetHistory(widget, nullptr, 0);
    EXPECT_GE(n, 0);
    std::vector<OX_ATTR> pairs(n > 0 ? n : 0);
    OX_GetHistory(widget, pairs.data(), n);
    return pairs;
}

void ExpectPairs(const std::vector<OX_ATTR>& expected, const std::vector<OX_ATTR>& actual) {
    ASSERT_EQ(expected.size(), actual.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("pair " + std::to_string(i));
        EXPECT_EQ(expected[i].attribute, actual[i].attribute);
        EXPECT_EQ(expected[i].value, actual[i].value);
    }
}

OX_WIDGET_INFO Info(int widget) {
    OX_WIDGET_INFO info = {-1, -1, -1, -1};
    EXPECT_TRUE(OX_GetWidgetInfo(widget, &info));
    return info;
}

OX_RECT Rect(int widget) {
    OX_RECT r = {-1, -1, -1, -1};
    EXPECT_TRUE(OX_GetRect(widget, &r));
    return r;
}

enum Button { kTick, kCross, kGoBack };

int HandleOf(TestDialog& d, Button b) {
    return b == kTick ? d.m_TickButton : b == kCross ? d.m_CrossButton : d.m_GoBackButton;
}

TEST(TabDialog, StandardButtonsEndTheRunWithTheirCode) {
    const struct {
        Button button;
        int code;
    } cases[] = {{kTick, 1}, {kCross, -1}, {kGoBack, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.button);
        TestDialog d;
        int root = 0;
        d.onCreate = [&](TestDialog& self) {
            root = self.m_Root;
            ASSERT_TRUE(OX_PostPress(HandleOf(self, c.button)));
        };
        EXPECT_EQ(c.code, d.DoModal());
        EXPECT_EQ(std::vector<int>{c.code}, d.endCodes);
        EXPECT_EQ(std::vector<bool>{false}, d.endedWhenTold);
        EXPECT_EQ(nullptr, d.m_pPopup);
        OX_POPUP_INFO info;
        ASSERT_TRUE(OX_GetPopupInfo(root, &info));
        EXPECT_TRUE(info.bEnded);
        EXPECT_EQ(c.code, info.endCode);
    }
}

TEST(TabDialog, CallbackWithOtherClientDataEndsNothing) {
    TestDialog d;
    d.onCreate = [](TestDialog& self) {
        CObject* other = reinterpret_cast<CObject*>(static_cast<intptr_t>(self.m_ContentArea));
        EXPECT_EQ(1, self.ButtonCallback(self.m_TickButton, other, nullptr));
        EXPECT_TRUE(self.endCodes.empty());
        OX_PostPress(self.m_CrossButton);
    };
    EXPECT_EQ(-1, d.DoModal());
    EXPECT_EQ(std::vector<int>{-1}, d.endCodes);
}

TEST(TabDialog, ButtonCallbackReturnsOneForEveryButton) {
    TestDialog d;
    d.onCreate = [](TestDialog& self) {
        for (int button : {self.m_CrossButton, self.m_GoBackButton, self.m_TickButton}) {
            CObject* data = reinterpret_cast<CObject*>(static_cast<intptr_t>(button));
            EXPECT_EQ(1, self.ButtonCallback(0, data, nullptr));
        }
    };
    // The first EndPopup counts.
    EXPECT_EQ(-1, d.DoModal());
    EXPECT_EQ((std::vector<int>{-1, -1, 1}), d.endCodes);
}

TEST(TabDialog, EndDialogOutsideARunOnlyNotifies) {
    TestDialog d;
    long calls = OX_GetSetValueCount();
    d.EndDialog(5);
    EXPECT_EQ(std::vector<int>{5}, d.endCodes);
    EXPECT_EQ(calls, OX_GetSetValueCount());

    // After a run the popup is forgotten: ending again touches nothing.
    d.onCreate = [](TestDialog& self) { OX_PostPress(self.m_TickButton); };
    EXPECT_EQ(1, d.DoModal());
    d.EndDialog(-1);
    EXPECT_EQ((std::vector<int>{5, 1, -1}), d.endCodes);
}

TEST(TabDialog, TitleAndIconGivenBeforeTheRunAreShownWhenBuilt) {
    TestDialog d;
    long calls = OX_GetSetValueCount();
    d.SetTitle("Firmware update");
    d.SetIcon(42);
    EXPECT_EQ(calls, OX_GetSetValueCount());
    EXPECT_STREQ("Firmware update", d.m_Title);
    EXPECT_EQ(QL_LoadIcon(42), d.m_hIcon);
    EXPECT_EQ(0, d.m_TitleWidget);

    d.onCreate = [](TestDialog& self) {
        EXPECT_STREQ("Firmware update",
                     reinterpret_cast<const char*>(OX_ValueOf(self.m_TitleWidget, 313)));
        EXPECT_EQ(reinterpret_cast<intptr_t>(QL_LoadIcon(42)), OX_ValueOf(self.m_IconWidget, 309));
        OX_PostPress(self.m_TickButton);
    };
    EXPECT_EQ(1, d.DoModal());
}

TEST(TabDialog, TitleAndIconChangeAtOnceDuringARun) {
    TestDialog d;
    d.SetTitle("Before");
    d.onCreate = [](TestDialog& self) {
        int rename = self.AddButton([&self] {
            std::string text = "Renamed";
            self.SetTitle(text.c_str());
            text = "overwritten";  // the toolkit keeps its own copy
            EXPECT_STREQ("Renamed",
                         reinterpret_cast<const char*>(OX_ValueOf(self.m_TitleWidget, 313)));
            self.SetIcon(9);
            EXPECT_EQ(reinterpret_cast<intptr_t>(QL_LoadIcon(9)),
                      OX_ValueOf(self.m_IconWidget, 309));
        });
        OX_PostPress(rename);
        OX_PostPress(self.m_TickButton);
    };
    EXPECT_EQ(1, d.DoModal());
    EXPECT_STREQ("Renamed", d.m_Title);
    EXPECT_EQ(QL_LoadIcon(9), d.m_hIcon);
}

TEST(TabDialog, EveryRunBuildsANewFrame) {
    TestDialog d;
    std::vector<std::vector<int>> handles;
    d.onCreate = [&](TestDialog& self) {
        handles.push_back({self.m_Root, self.m_TickButton, self.m_CrossButton, self.m_GoBackButton,
                           self.m_IconWidget, self.m_TitleWidget, self.m_ContentArea});
        OX_PostPress(handles.size() == 1 ? self.m_GoBackButton : self.m_TickButton);
    };
    EXPECT_EQ(-1, d.DoModal());
    EXPECT_EQ(1, d.DoModal());
    EXPECT_EQ(2, d.createCount);
    ASSERT_EQ(2u, handles.size());
    for (size_t i = 0; i < handles[0].size(); ++i) {
        EXPECT_NE(handles[0][i], handles[1][i]);
        EXPECT_GT(handles[1][i], handles[0].back());
    }
    EXPECT_EQ((std::vector<int>{-1, 1}), d.endCodes);
}

TEST(TabDialog, ButtonsHiddenInCreateContentsStayHidden) {
    for (int hidden = 0; hidden < 8; ++hidden) {
        SCOPED_TRACE("hidden mask " + std::to_string(hidden));
        TestDialog d;
        bool tickHidden = hidden & 1, crossHidden = hidden & 2, goBackHidden = hidden & 4;
        d.onCreate = [&](TestDialog& self) {
            if (tickHidden)
                self.HideTickButton();
            if (crossHidden)
                self.HideCrossButton();
            if (goBackHidden)
                self.HideGoBackButton();
            // Hidden buttons cannot be pressed: the first shown one ends the run.
            OX_PostPress(self.m_TickButton);
            OX_PostPress(self.m_CrossButton);
            OX_PostPress(self.m_GoBackButton);
            OX_PostPress(self.AddButton([&self] { self.EndDialog(42); }));
        };
        int expected = !tickHidden ? 1 : (!crossHidden || !goBackHidden) ? -1 : 42;
        EXPECT_EQ(expected, d.DoModal());
        EXPECT_EQ(!tickHidden, OX_IsShown(d.m_TickButton));
        EXPECT_EQ(!crossHidden, OX_IsShown(d.m_CrossButton));
        EXPECT_EQ(!goBackHidden, OX_IsShown(d.m_GoBackButton));
        EXPECT_TRUE(OX_IsShown(d.m_ContentArea));
    }
}

TEST(TabDialog, ShowingAHiddenButtonDuringTheRunMakesItPressable) {
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

TEST(TabDialog, FrameIsBuiltWithTheExactPairsInOrder) {
    TestDialog d(360, 240);
    d.SetTitle("Check gateway");
    d.SetIcon(17);
    const char* titleText = nullptr;
    d.onCreate = [&](TestDialog& self) {
        titleText = self.m_Title.GetString();
        OX_PostPress(self.m_TickButton);
    };
    ASSERT_EQ(1, d.DoModal());
    const int root = d.m_Root;

    OX_POPUP_INFO popup;
    ASSERT_TRUE(OX_GetPopupInfo(root, &popup));
    EXPECT_EQ(0, popup.style);
    EXPECT_EQ(360, popup.width);
    EXPECT_EQ(240, popup.height);
    EXPECT_EQ(4, popup.flags);

    // Creation order.
    std::vector<int> order = {root,           d.m_TickButton,  d.m_CrossButton, d.m_GoBackButton,
                              d.m_IconWidget, d.m_TitleWidget, d.m_ContentArea};
    for (size_t i = 1; i < order.size(); ++i) {
        EXPECT_LT(order[i - 1], order[i]);
    }

    ExpectPairs({{17, 0}, {17, 1}}, History(root));

    const struct {
        int handle;
        int type;
        std::vector<OX_ATTR> history;
    } buttons[] = {
        {d.m_TickButton, 1, {{17, 1}}},
        {d.m_CrossButton, 2, {{17, 1}}},
        {d.m_GoBackButton, 32, {{401, 2}, {17, 1}}},
    };
    for (const auto& b : buttons) {
        SCOPED_TRACE(b.type);
        OX_WIDGET_INFO info = Info(b.handle);
        EXPECT_EQ(root, info.parent);
        EXPECT_EQ(OX_KIND_SYSTEM, info.kind);
        EXPECT_EQ(b.type, info.buttonType);
        EXPECT_EQ(0, info.pairCount);
        ExpectPairs(b.history, History(b.handle));
    }

    const intptr_t icon = reinterpret_cast<intptr_t>(QL_LoadIcon(17));
    const struct {
        const char* name;
        int handle;
        int kind;
        int pairCount;
        std::vector<OX_ATTR> history;
    } widgets[] = {
        {"icon",
         d.m_IconWidget,
         3,
         6,
         {{63, 16}, {64, 16}, {55, 32}, {56, 32}, {301, 1}, {309, icon}}},
        {"title",
         d.m_TitleWidget,
         3,
         8,
         {{63, d.m_IconWidget},
          {65, 16},
          {64, 16},
          {313, reinterpret_cast<intptr_t>(titleText)},
          {7, 267},
          {312, 1},
          {6, 33},
          {15, 2},
          {56, 32}}},
        {"content",
         d.m_ContentArea,
         2,
         6,
         {{64, d.m_TitleWidget}, {63, 16}, {65, 16}, {66, 16}, {8, 0xFFFFFF}, {50, 7}}},
    };
    for (const auto& w : widgets) {
        SCOPED_TRACE(w.name);
        OX_WIDGET_INFO info = Info(w.handle);
        EXPECT_EQ(root, info.parent);
        EXPECT_EQ(w.kind, info.kind);
        EXPECT_EQ(w.pairCount, info.pairCount);
        ExpectPairs(w.history, History(w.handle));
    }
    EXPECT_STREQ("Check gateway", reinterpret_cast<const char*>(OX_ValueOf(d.m_TitleWidget, 313)));
}

TEST(TabDialog, FrameGeometry) {
    const struct {
        int width;
        int height;
        const char* title;
        int titleHeight;  // one text line is 20: raised to the icon's 32
    } cases[] = {
        {400, 300, "One line", 32},
        {250, 180, "", 32},
        {640, 480, "Two\nlines", 40},
        {300, 200, "Three\nline\ntitle", 60},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        TestDialog d(c.width, c.height);
        d.SetTitle(c.title);
        d.onCreate = [](TestDialog& self) { OX_PostPress(self.m_TickButton); };
        ASSERT_EQ(1, d.DoModal());

        OX_RECT root = Rect(d.m_Root);
        EXPECT_EQ(c.width, root.width);
        EXPECT_EQ(c.height, root.height);

        OX_RECT icon = Rect(d.m_IconWidget);
        EXPECT_EQ(16, icon.x);
        EXPECT_EQ(16, icon.y);
        EXPECT_EQ(32, icon.width);
        EXPECT_EQ(32, icon.height);

        OX_RECT title = Rect(d.m_TitleWidget);
        EXPECT_GE(title.x, icon.x + icon.width);
        EXPECT_EQ(16, title.y);
        EXPECT_EQ(c.width - 16, title.x + title.width);
        EXPECT_EQ(c.titleHeight, title.height);
        EXPECT_GE(title.height, icon.height);

        OX_RECT content = Rect(d.m_ContentArea);
        EXPECT_EQ(16, content.x);
        EXPECT_GE(content.y, title.y + title.height);
        EXPECT_EQ(c.width - 16, content.x + content.width);
        EXPECT_EQ(c.height - 16, content.y + content.height);
        EXPECT_EQ(0xFFFFFF, OX_ValueOf(d.m_ContentArea, 8));

        // The system buttons lie outside the frame's widgets, within the popup's width.
        for (int button : {d.m_TickButton, d.m_CrossButton, d.m_GoBackButton}) {
            OX_RECT b = Rect(button);
            EXPECT_GE(b.y, c.height);
            EXPECT_GE(b.x, 0);
            EXPECT_LE(b.x + b.width, c.width);
        }
    }
}

TEST(TabDialog, PressesPostedFromAnotherThread) {
    TestDialog d;
    std::promise<int> cross;
    std::future<int> crossHandle = cross.get_future();
    d.onCreate = [&](TestDialog& self) { cross.set_value(self.m_CrossButton); };
    std::thread presser([&crossHandle] { OX_PostPress(crossHandle.get()); });
    EXPECT_EQ(-1, d.DoModal());
    presser.join();
    EXPECT_EQ(std::vector<int>{-1}, d.endCodes);
}

// A derived class's overrides receive the button events and the end.
class OverridingDialog : public TestDialog {
public:
    std::vector<std::string> calls;

protected:
    int ButtonCallback(int nWidget, CObject* pClientData, int* pCallData) override {
        calls.push_back("ButtonCallback");
        return CTabDialog::ButtonCallback(nWidget, pClientData, pCallData);
    }
    void EndDialog(int nEndCode) override {
        calls.push_back("EndDialog " + std::to_string(nEndCode));
        CTabDialog::EndDialog(nEndCode);
    }
};

TEST(TabDialog, OverridesAreReachedThroughTheVirtualTable) {
    OverridingDialog d;
    d.onCreate = [](TestDialog& self) { OX_PostPress(self.m_GoBackButton); };
    EXPECT_EQ(-1, d.DoModal());
    EXPECT_EQ((std::vector<std::string>{"ButtonCallback", "EndDialog -1"}), d.calls);
    EXPECT_EQ(std::vector<int>{-1}, d.endCodes);
}

}  // namespace
