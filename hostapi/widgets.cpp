// Headless widget toolkit and popup library: see widgets.h.
#include "hostapi/widgets.h"

#include <limits.h>
#include <stdio.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Callback {
    int reason;
    CObject* target;
    OX_CALLBACK handler;
    CObject* clientData;
};

struct Widget {
    int handle = 0;
    int parent = 0;
    int root = 0;  // root of the widget's popup (itself for a root)
    int kind = 0;
    int buttonType = 0;
    int pairCount = 0;
    std::map<int, intptr_t> values;  // every attribute but the text
    bool bHasText = false;
    std::string text;  // the toolkit's copy of OXA_TEXT
    std::vector<OX_ATTR> history;
    std::vector<Callback> callbacks;
    std::vector<int> children;
};

struct Popup {
    std::unique_ptr<CTabPopup> object;
    int style = 0;
    int flags = 0;
    int width = 0;
    int height = 0;
    std::vector<int> members;  // every widget of the popup, the root first
    std::deque<int> presses;
    bool bRunning = false;
    bool bEnded = false;
    int endCode = 0;
};

struct IconRecord {
    unsigned int id;
};

struct Toolkit {
    std::mutex mutex;
    std::condition_variable changed;  // a press was queued or a popup ended
    std::map<int, Widget> widgets;
    std::map<int, Popup> popups;  // by root handle
    std::map<const CTabPopup*, int> roots;
    std::map<unsigned int, std::unique_ptr<IconRecord>> icons;
    int nextHandle = OX_FIRST_HANDLE;
    long setValueCount = 0;
};

Toolkit& State() {
    static Toolkit toolkit;
    return toolkit;
}

Widget* FindWidget(Toolkit& t, int handle) {
    auto it = t.widgets.find(handle);
    return it == t.widgets.end() ? nullptr : &it->second;
}

Popup* FindPopup(Toolkit& t, const CTabPopup* popup) {
    auto it = t.roots.find(popup);
    if (it == t.roots.end()) {
        return nullptr;
    }
    return &t.popups.at(it->second);
}

void ApplyValue(Widget& w, int attribute, intptr_t value) {
    if (attribute == OXA_TEXT) {
        w.bHasText = true;
        w.text = value ? reinterpret_cast<const char*>(value) : "";
    } else {
        w.values[attribute] = value;
    }
}

bool Lookup(const Widget& w, int attribute, intptr_t* value) {
    auto it = w.values.find(attribute);
    if (it == w.values.end()) {
        return false;
    }
    *value = it->second;
    return true;
}

int NewWidgetLocked(Toolkit& t, int kind, int parent, int buttonType, const OX_ATTR* pairs,
                    int count) {
    Widget* pParent = FindWidget(t, parent);
    if (pParent == nullptr || t.nextHandle == INT_MAX) {
        return 0;
    }
    if (pairs == nullptr || count < 0) {
        count = 0;
    }
    Widget w;
    w.handle = t.nextHandle++;
    w.parent = parent;
    w.root = pParent->root;
    w.kind = kind;
    w.buttonType = buttonType;
    w.pairCount = count;
    for (int i = 0; i < count; ++i) {
        w.history.push_back(pairs[i]);
        ApplyValue(w, pairs[i].attribute, pairs[i].value);
    }
    pParent->children.push_back(w.handle);
    t.popups.at(w.root).members.push_back(w.handle);
    int handle = w.handle;
    t.widgets.emplace(handle, std::move(w));
    return handle;
}

bool IsShownLocked(Toolkit& t, int handle) {
    for (Widget* w = FindWidget(t, handle); w != nullptr; w = FindWidget(t, w->parent)) {
        intptr_t visible = 1;
        if (Lookup(*w, OXA_VISIBLE, &visible) && visible == 0) {
            return false;
        }
    }
    return FindWidget(t, handle) != nullptr;
}

// Text extent in lines and in characters of the longest line.
void TextExtent(const std::string& text, int* lines, int* columns) {
    *lines = 1;
    *columns = 0;
    int column = 0;
    for (char ch : text) {
        if (ch == '\n') {
            ++*lines;
            column = 0;
        } else {
            *columns = std::max(*columns, ++column);
        }
    }
}

void NaturalSize(const Widget& w, int* width, int* height) {
    if (w.kind == OX_KIND_AREA) {
        *width = 0;
        *height = 0;
    } else if (w.kind == OX_KIND_LABEL) {
        intptr_t icon = 0;
        if ((!w.bHasText || w.text.empty()) && Lookup(w, OXA_ICON, &icon) && icon != 0) {
            *width = OX_ICON_SIZE;
            *height = OX_ICON_SIZE;
            return;
        }
        int lines = 1;
        int columns = 0;
        TextExtent(w.text, &lines, &columns);
        *width = columns * OX_TEXT_CHAR_WIDTH;
        *height = lines * OX_TEXT_LINE_HEIGHT;
    } else {
        *width = 80;
        *height = 24;
    }
}

int Clamp(intptr_t value) {
    return static_cast<int>(
        std::max<intptr_t>(INT_MIN / 2, std::min<intptr_t>(value, INT_MAX / 2)));
}

// One layout pass: rectangles resolved so far, and the widgets being resolved
// (an edge placed against one of those is a cycle and reads as a zero rect).
struct Layout {
    explicit Layout(Toolkit& toolkit) : t(toolkit) {}
    Toolkit& t;
    std::map<int, OX_RECT> done;
    std::set<int> active;
};

OX_RECT ResolveLocked(Layout& layout, const Widget& w);

// The widget an edge value names, or null when the value is a distance.
const Widget* EdgeWidget(Toolkit& t, const Widget& w, intptr_t value) {
    if (value < OX_FIRST_HANDLE || value > INT_MAX || value == w.handle) {
        return nullptr;
    }
    return FindWidget(t, static_cast<int>(value));
}

// One axis: start and size from the near edge, far edge and size attributes.
void ResolveAxis(Layout& layout, const Widget& w, bool bHorizontal, int parentStart, int parentSize,
                 int* start, int* size) {
    Toolkit& t = layout.t;
    const int nearAttr = bHorizontal ? OXA_LEFT : OXA_TOP;
    const int farAttr = bHorizontal ? OXA_RIGHT : OXA_BOTTOM;
    const int sizeAttr = bHorizontal ? OXA_WIDTH : OXA_HEIGHT;
    int natural[2] = {0, 0};
    NaturalSize(w, &natural[0], &natural[1]);

    intptr_t value = 0;
    bool bNear = Lookup(w, nearAttr, &value);
    int nearPos = parentStart;
    if (bNear) {
        if (const Widget* other = EdgeWidget(t, w, value)) {
            OX_RECT r = ResolveLocked(layout, *other);
            nearPos = (bHorizontal ? r.x + r.width : r.y + r.height) + OX_SPACING;
        } else {
            nearPos = parentStart + Clamp(value);
        }
    }
    bool bFar = Lookup(w, farAttr, &value);
    int farPos = parentStart + parentSize;
    if (bFar) {
        if (const Widget* other = EdgeWidget(t, w, value)) {
            OX_RECT r = ResolveLocked(layout, *other);
            farPos = (bHorizontal ? r.x : r.y) - OX_SPACING;
        } else {
            farPos = parentStart + parentSize - Clamp(value);
        }
    }
    int ownSize = bHorizontal ? natural[0] : natural[1];
    if (Lookup(w, sizeAttr, &value)) {
        ownSize = std::max(0, Clamp(value));
    }
    if (bNear && bFar) {
        *start = nearPos;
        *size = std::max(0, farPos - nearPos);
    } else if (bFar) {
        *start = farPos - ownSize;
        *size = ownSize;
    } else {
        *start = nearPos;
        *size = ownSize;
    }
}

OX_RECT PlaceLocked(Layout& layout, const Widget& w) {
    Toolkit& t = layout.t;
    OX_RECT r = {0, 0, 0, 0};
    const Popup& popup = t.popups.at(w.root);
    if (w.kind == OX_KIND_ROOT) {
        r.width = popup.width;
        r.height = popup.height;
        return r;
    }
    if (w.kind == OX_KIND_SYSTEM) {
        const int step = OX_SYSTEM_BUTTON_SIZE + 8;
        r.width = OX_SYSTEM_BUTTON_SIZE;
        r.height = OX_SYSTEM_BUTTON_SIZE;
        r.y = popup.height + (OX_BUTTON_BAR_HEIGHT - OX_SYSTEM_BUTTON_SIZE) / 2;
        switch (w.buttonType) {
            case OX_BUTTON_GO_BACK:
                r.x = 8;
                break;
            case OX_BUTTON_TICK:
                r.x = popup.width - step;
                break;
            case OX_BUTTON_CROSS:
                r.x = popup.width - 2 * step;
                break;
            default:
                r.x = popup.width - 3 * step;
                break;
        }
        return r;
    }
    OX_RECT p = ResolveLocked(layout, t.widgets.at(w.parent));
    ResolveAxis(layout, w, true, p.x, p.width, &r.x, &r.width);
    ResolveAxis(layout, w, false, p.y, p.height, &r.y, &r.height);
    return r;
}

OX_RECT ResolveLocked(Layout& layout, const Widget& w) {
    auto found = layout.done.find(w.handle);
    if (found != layout.done.end()) {
        return found->second;
    }
    if (!layout.active.insert(w.handle).second) {
        return OX_RECT{0, 0, 0, 0};
    }
    OX_RECT r = PlaceLocked(layout, w);
    layout.active.erase(w.handle);
    layout.done[w.handle] = r;
    return r;
}

// ---- SVG --------------------------------------------------------------------

std::string Escape(const std::string& text) {
    std::string out;
    for (char ch : text) {
        switch (ch) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += ch;
        }
    }
    return out;
}

std::string Colour(intptr_t rgb) {
    char buffer[8];
    snprintf(buffer, sizeof buffer, "#%06X", static_cast<unsigned>(rgb & 0xFFFFFF));
    return buffer;
}

std::string RectElement(const OX_RECT& r, const std::string& style) {
    std::ostringstream s;
    s << "<rect x=\"" << r.x << "\" y=\"" << r.y << "\" width=\"" << r.width << "\" height=\""
      << r.height << "\" " << style << "/>";
    return s.str();
}

const IconRecord* FindIcon(Toolkit& t, intptr_t handle) {
    for (const auto& entry : t.icons) {
        if (reinterpret_cast<intptr_t>(entry.second.get()) == handle) {
            return entry.second.get();
        }
    }
    return nullptr;
}

void DrawText(std::ostringstream& s, const OX_RECT& r, int xOffset, const std::string& text) {
    int lineCount = 1;
    int columns = 0;
    TextExtent(text, &lineCount, &columns);
    std::istringstream lines(text);
    std::string line;
    // Lines centred vertically in the rectangle.
    int y = r.y + std::max(0, r.height - lineCount * OX_TEXT_LINE_HEIGHT) / 2 + 15;
    while (std::getline(lines, line)) {
        s << "<text x=\"" << r.x + xOffset << "\" y=\"" << y
          << "\" font-family=\"sans-serif\" font-size=\"13\" fill=\"#202020\">" << Escape(line)
          << "</text>";
        y += OX_TEXT_LINE_HEIGHT;
    }
}

void DrawSystemButton(std::ostringstream& s, const Widget& w, const OX_RECT& r) {
    s << RectElement(r, "rx=\"6\" fill=\"#FAFAFA\" stroke=\"#505050\"");
    const int x = r.x;
    const int y = r.y;
    const char* stroke = "fill=\"none\" stroke-width=\"4\" stroke-linecap=\"round\"";
    switch (w.buttonType) {
        case OX_BUTTON_TICK:
            s << "<polyline points=\"" << x + 10 << "," << y + 21 << " " << x + 17 << "," << y + 28
              << " " << x + 30 << "," << y + 12 << "\" stroke=\"#1E8C2E\" " << stroke << "/>";
            break;
        case OX_BUTTON_CROSS:
            s << "<path d=\"M" << x + 12 << " " << y + 12 << " L" << x + 28 << " " << y + 28 << " M"
              << x + 28 << " " << y + 12 << " L" << x + 12 << " " << y + 28
              << "\" stroke=\"#C0282D\" " << stroke << "/>";
            break;
        case OX_BUTTON_GO_BACK:
            s << "<path d=\"M" << x + 30 << " " << y + 20 << " L" << x + 11 << " " << y + 20 << " M"
              << x + 19 << " " << y + 12 << " L" << x + 11 << " " << y + 20 << " L" << x + 19 << " "
              << y + 28 << "\" stroke=\"#2A5DB0\" " << stroke << "/>";
            break;
        default:
            break;
    }
}

void DrawWidget(Layout& layout, std::ostringstream& s, const Widget& w) {
    Toolkit& t = layout.t;
    if (!IsShownLocked(t, w.handle)) {
        return;
    }
    OX_RECT r = ResolveLocked(layout, w);
    s << "<g id=\"w" << w.handle << "\">";
    intptr_t value = 0;
    if (w.kind == OX_KIND_ROOT) {
        s << RectElement(r, "fill=\"#EEEEEE\" stroke=\"#707070\"");
    } else if (w.kind == OX_KIND_SYSTEM) {
        DrawSystemButton(s, w, r);
    } else if (w.kind == OX_KIND_AREA) {
        std::string fill = Lookup(w, OXA_BACKGROUND, &value) ? Colour(value) : "none";
        s << RectElement(r, "fill=\"" + fill + "\" stroke=\"#9A9A9A\"");
    } else if (w.kind == OX_KIND_LABEL) {
        s << RectElement(r, "fill=\"none\" stroke=\"#C8C8C8\" stroke-dasharray=\"3 3\"");
        int textOffset = 4;
        if (Lookup(w, OXA_ICON, &value) && value != 0) {
            const IconRecord* icon = FindIcon(t, value);
            OX_RECT box = {r.x, r.y, std::min(r.width, OX_ICON_SIZE),
                           std::min(r.height, OX_ICON_SIZE)};
            s << RectElement(box, "rx=\"5\" fill=\"#2F6DB5\"");
            s << "<text x=\"" << box.x + box.width / 2 << "\" y=\"" << box.y + box.height / 2 + 5
              << "\" text-anchor=\"middle\" font-family=\"sans-serif\" font-size=\"12\" "
                 "fill=\"#FFFFFF\">"
              << (icon ? std::to_string(icon->id) : std::string("?")) << "</text>";
            textOffset = box.width + 4;
        }
        DrawText(s, r, textOffset, w.text);
    } else {
        s << RectElement(r, "fill=\"#E2E2E2\" stroke=\"#777777\"");
        DrawText(s, r, 4, w.text);
    }
    s << "</g>\n";
    for (int child : w.children) {
        DrawWidget(layout, s, t.widgets.at(child));
    }
}

}  // namespace

// ---- Widget toolkit -----------------------------------------------------------

int OX_NewWidget(int kind, int parent, const OX_ATTR* pairs, int count) {
    Toolkit& t = State();
    std::lock_guard<std::mutex> lock(t.mutex);
    return NewWidgetLocked(t, kind, parent, 0, pairs, count);
}

int OX_NewSystemButton(int parent, int type, const OX_ATTR* pairs, int count) {
    Toolkit& t = State();
    std::lock_guard<std::mutex> lock(t.mutex);
    return NewWidgetLocked(t, OX_KIND_SYSTEM, parent, type, pairs, count);
}

int OX_SetValue(int widget, int attribute, intptr_t value, int flag) {
    (void)flag;
    Toolkit& t = State();
    std::lock_guard<std::mutex> lock(t.mutex);
    ++t.setValueCount;
    Widget* w = FindWidget(t, widget);
    if (w == nullptr) {
        return 0;
    }
    w->history.push_back(OX_ATTR{attribute, value});
    ApplyValue(*w, attribute, value);
    return 1;
}

intptr_t OX_ValueOf(int widget, int attribute) {
    Toolkit& t = State();
    std::lock_guard<std::mutex> lock(t.mutex);
    Widget* w = FindWidget(t, widget);
    if (w == nullptr) {
        return 0;
    }
    if (attribute == OXA_TEXT) {
        return w->bHasText ? reinterpret_cast<intptr_t>(w->text.c_str()) : 0;
    }
    intptr_t value = 0;
    if (Lookup(*w, attribute, &value)) {
        return value;
    }
    if (attribute == OXA_WIDTH || attribute == OXA_HEIGHT) {
        Layout layout(t);
        OX_RECT r = ResolveLocked(layout, *w);
        return attribute == OXA_WIDTH ? r.width : r.height;
    }
    return 0;
}

int OX_AddCallback(int widget, int reason, CObject* target, OX_CALLBACK handler,
                   CObject* clientData) {
    Toolkit& t = State();
    std::lock_guard<std::mutex> lock(t.mutex);
    Widget* w = FindWidget(t, widget);
    if (w == nullptr || target == nullptr || handler == nullptr) {
        return 0;
    }
    w->callbacks.push_back(Callback{reason, target, handler, clientData});
    return 1;
}

bool OX_PostPress(int widget) {
    Toolkit& t = State();
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        Widget* w = FindWidget(t, widget);
        if (w == nullptr) {
            return false;
        }
        Popup& popup = t.popups.at(w->root);
        if (popup.bEnded) {
            return false;
        }
        popup.presses.push_back(widget);
    }
    t.changed.notify_all();
    return true;
}

bool OX_GetRect(int widget, OX_RECT* rect) {
    Toolkit& t = State();
    std::lock_guard<std::mutex> lock(t.mutex);
    Widget* w = FindWidget(t, widget);
    if (w == nullptr || rect == nullptr) {
        return false;
    }
    Layout layout(t);
    *rect = ResolveLocked(layout, *w);
    return true;
}

bool OX_IsShown(int widget) {
    Toolkit& t = State();
    std::lock_guard<std::mutex> lock(t.mutex);
    return IsShownLocked(t, widget);
}

bool OX_GetWidgetInfo(int widget, OX_WIDGET_INFO* info) {
    Toolkit& t = State();
    std::lock_guard<std::mutex> lock(t.mutex);
    Widget* w = FindWidget(t, widget);
    if (w == nullptr || info == nullptr) {
        return false;
    }
    info->parent = w->parent;
    info->kind = w->kind;
    info->buttonType = w->buttonType;
    info->pairCount = w->pairCount;
    return true;
}

int OX_GetHistory(int widget, OX_ATTR* pairs, int maxPairs) {
    Toolkit& t = State();
    std::lock_guard<std::mutex> lock(t.mutex);
    Widget* w = FindWidget(t, widget);
    if (w == nullptr) {
        return -1;
    }
    int total = static_cast<int>(w->history.size());
    if (pairs != nullptr) {
        std::copy_n(w->history.begin(), std::max(0, std::min(total, maxPairs)), pairs);
    }
    return total;
}

long OX_GetSetValueCount() {
    Toolkit& t = State();
    std::lock_guard<std::mutex> lock(t.mutex);
    return t.setValueCount;
}

bool OX_GetPopupInfo(int root, OX_POPUP_INFO* info) {
    Toolkit& t = State();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.popups.find(root);
    if (it == t.popups.end() || info == nullptr) {
        return false;
    }
    const Popup& popup = it->second;
    info->style = popup.style;
    info->width = popup.width;
    info->height = popup.height;
    info->flags = popup.flags;
    info->bRunning = popup.bRunning;
    info->bEnded = popup.bEnded;
    info->endCode = popup.endCode;
    info->queued = static_cast<int>(popup.presses.size());
    return true;
}

bool OX_RenderSvg(int root, const char* path) {
    if (path == nullptr) {
        return false;
    }
    std::ostringstream s;
    {
        Toolkit& t = State();
        std::lock_guard<std::mutex> lock(t.mutex);
        Widget* w = FindWidget(t, root);
        if (w == nullptr || w->kind != OX_KIND_ROOT) {
            return false;
        }
        const Popup& popup = t.popups.at(root);
        const int width = popup.width;
        const int height = popup.height + OX_BUTTON_BAR_HEIGHT;
        s << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
          << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\""
          << height << "\" viewBox=\"0 0 " << width << " " << height << "\">\n";
        s << RectElement(OX_RECT{0, 0, width, height}, "fill=\"#FFFFFF\" stroke=\"#404040\"")
          << "\n";
        if (IsShownLocked(t, root)) {
            s << RectElement(OX_RECT{0, popup.height, width, OX_BUTTON_BAR_HEIGHT},
                             "fill=\"#D4D4D4\" stroke=\"#707070\"")
              << "\n";
            Layout layout(t);
            DrawWidget(layout, s, *w);
        }
        s << "</svg>\n";
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << s.str();
    file.close();
    return static_cast<bool>(file);
}

// ---- Popup library --------------------------------------------------------------

int CTabPopup::GetRoot() {
    return m_Root;
}

void CTabPopup::EndPopup(int nEndCode) {
    Toolkit& t = State();
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        Popup* popup = FindPopup(t, this);
        if (popup == nullptr || popup->bEnded) {
            return;
        }
        popup->bEnded = true;
        popup->endCode = nEndCode;
        popup->presses.clear();
    }
    t.changed.notify_all();
}

CTabPopup* CEsbFrame::BlankPopup(int nStyle, int nWidth, int nHeight, int nFlags) {
    Toolkit& t = State();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.nextHandle == INT_MAX) {
        return nullptr;
    }
    Widget root;
    root.handle = t.nextHandle++;
    root.root = root.handle;
    root.kind = OX_KIND_ROOT;
    Popup popup;
    popup.object.reset(new CTabPopup(root.handle));
    popup.style = nStyle;
    popup.flags = nFlags;
    popup.width = std::max(0, nWidth);
    popup.height = std::max(0, nHeight);
    popup.members.push_back(root.handle);
    CTabPopup* object = popup.object.get();
    t.roots[object] = root.handle;
    t.popups.emplace(root.handle, std::move(popup));
    t.widgets.emplace(root.handle, std::move(root));
    return object;
}

int CEsbFrame::DoModalPopup(CTabPopup* pPopup) {
    Toolkit& t = State();
    std::unique_lock<std::mutex> lock(t.mutex);
    Popup* popup = FindPopup(t, pPopup);
    if (popup == nullptr || popup->bRunning) {
        return -1;
    }
    popup->bRunning = true;
    for (;;) {
        t.changed.wait(lock, [popup] { return popup->bEnded || !popup->presses.empty(); });
        if (popup->bEnded) {
            break;
        }
        int widget = popup->presses.front();
        popup->presses.pop_front();
        Widget* w = FindWidget(t, widget);
        if (w == nullptr || !IsShownLocked(t, widget)) {
            continue;
        }
        std::vector<Callback> callbacks;
        for (const Callback& c : w->callbacks) {
            if (c.reason == OX_REASON_ACTIVATE) {
                callbacks.push_back(c);
            }
        }
        lock.unlock();
        for (const Callback& c : callbacks) {
            int reason = c.reason;
            (c.target->*c.handler)(widget, c.clientData, &reason);
        }
        lock.lock();
    }
    popup->bRunning = false;
    return popup->endCode;
}

void CEsbFrame::DestroyPopup(CTabPopup* pPopup) {
    Toolkit& t = State();
    std::lock_guard<std::mutex> lock(t.mutex);
    Popup* popup = FindPopup(t, pPopup);
    if (popup == nullptr || popup->bRunning) {
        return;
    }
    int root = pPopup->GetRoot();
    for (int handle : popup->members) {
        t.widgets.erase(handle);
    }
    t.roots.erase(pPopup);
    t.popups.erase(root);  // deletes the popup object
}

HICON QL_LoadIcon(unsigned int nId) {
    Toolkit& t = State();
    std::lock_guard<std::mutex> lock(t.mutex);
    std::unique_ptr<IconRecord>& icon = t.icons[nId];
    if (!icon) {
        icon.reset(new IconRecord{nId});
    }
    return reinterpret_cast<HICON>(icon.get());
}
