// The host's widget toolkit (OX_ functions) and popup library (CEsbFrame,
// CTabPopup, QL_LoadIcon), as far as the module's dialogs use them, headless:
// widgets keep their attributes, the toolkit lays them out into rectangles and
// can draw a popup as an SVG picture, and button presses are queued events that
// a popup's modal loop delivers to the registered callbacks.
//
// Widget handles are ints from OX_FIRST_HANDLE up, never reused, so a
// handle cannot be mistaken for a small distance: the edge attributes take
// either. Attribute values are pointer-sized, since they carry text pointers
// and icon handles.
//
// Threads: OX_PostPress may be called from any thread. Everything else is
// meant for the thread that runs the popups' modal loops; the toolkit's state
// is nevertheless guarded by one lock, so a call from another thread is safe,
// only its order relative to the modal loop is not defined.
//
// Ownership: popups and widgets belong to the toolkit. They live until
// CEsbFrame::DestroyPopup (popup with all its widgets) or the end of the
// process; an ended popup and its widgets remain readable and drawable.
#ifndef ZODARURUVIZI_HOSTAPI_WIDGETS_H
#define ZODARURUVIZI_HOSTAPI_WIDGETS_H

#include <stdint.h>

#include "platform/afx.h"
#include "platform/export.h"
#include "platform/winapi.h"

// ---- Attributes -------------------------------------------------------------

// One attribute of a widget: identifier and value. The value is a number, a
// widget handle, a text pointer or an icon handle, according to the attribute.
struct OX_ATTR {
    int attribute;
    intptr_t value;
};

enum {
    OXA_STYLE = 6,          // label style flags
    OXA_FONT = 7,           // label font
    OXA_BACKGROUND = 8,     // background colour 0xRRGGBB
    OXA_ALIGNMENT = 15,     // label text alignment
    OXA_VISIBLE = 17,       // 0 hidden, 1 shown (default shown)
    OXA_BORDER = 50,        // area border style
    OXA_WIDTH = 55,         // width; when unset, the natural or stretched width
    OXA_HEIGHT = 56,        // height; when unset, the natural or stretched height
    OXA_LEFT = 63,          // distance from the parent's left edge, or a widget
    OXA_TOP = 64,           // distance from the parent's top edge, or a widget
    OXA_RIGHT = 65,         // distance from the parent's right edge
    OXA_BOTTOM = 66,        // distance from the parent's bottom edge
    OXA_SHOW_ICON = 301,    // label shows its icon
    OXA_ICON = 309,         // HICON shown by a label
    OXA_TEXT_WRAP = 312,    // label text wrapping
    OXA_TEXT = 313,         // label text (zero-terminated; copied by the toolkit)
    OXA_BUTTON_STYLE = 401  // system button style
};

// Widget kinds of OX_NewWidget. Other kinds are accepted as generic widgets
// with a natural size of 80 x 24.
enum {
    OX_KIND_AREA = 2,    // container; natural size 0 x 0
    OX_KIND_LABEL = 3,   // text and/or icon
    OX_KIND_ROOT = -1,   // reported for a popup's root (OX_GetWidgetInfo)
    OX_KIND_SYSTEM = -2  // reported for a system button
};

// System button types of OX_NewSystemButton.
enum { OX_BUTTON_TICK = 1, OX_BUTTON_CROSS = 2, OX_BUTTON_GO_BACK = 0x20 };

// Callback reasons of OX_AddCallback. A press delivers OX_REASON_ACTIVATE.
enum { OX_REASON_ACTIVATE = 2 };

// Layout constants.
const int OX_FIRST_HANDLE = 0x10000;
const int OX_SPACING = 16;             // gap when an edge is placed against a widget
const int OX_TEXT_LINE_HEIGHT = 20;    // natural height of one line of label text
const int OX_TEXT_CHAR_WIDTH = 8;      // natural width of one character of label text
const int OX_ICON_SIZE = 32;           // natural size of a label showing only an icon
const int OX_BUTTON_BAR_HEIGHT = 48;   // strip under the root holding system buttons
const int OX_SYSTEM_BUTTON_SIZE = 40;  // system buttons are square

// A rectangle in the coordinates of the widget's popup: 0,0 is the top left
// corner of the root.
struct OX_RECT {
    int x;
    int y;
    int width;
    int height;
};

// What a widget was created as.
struct OX_WIDGET_INFO {
    int parent;      // 0 for a root
    int kind;        // OX_NewWidget's kind, OX_KIND_ROOT or OX_KIND_SYSTEM
    int buttonType;  // OX_NewSystemButton's type, otherwise 0
    int pairCount;   // number of pairs given at creation
};

// What a popup was made with, and where its modal run stands.
struct OX_POPUP_INFO {
    int style;  // CEsbFrame::BlankPopup's arguments, in order
    int width;
    int height;
    int flags;
    bool bRunning;  // inside CEsbFrame::DoModalPopup
    bool bEnded;
    int endCode;  // valid when bEnded
    int queued;   // presses waiting to be delivered
};

// Member function of a target object called for a widget event: (widget,
// client data given at registration, pointer to the callback reason) -> int.
// A handler of a derived class is passed with a static_cast to this type; a
// virtual handler is reached through the target's virtual table.
typedef int (CObject::*OX_CALLBACK)(int, CObject*, int*);

// ---- Widget toolkit -----------------------------------------------------------

// Creates a widget of the kind under the parent with `count` attribute pairs,
// applied in order (a later pair of the same attribute wins). Returns its
// handle, or 0 when the parent is not a widget. Pairs may be null when count
// is 0.
ZODARURUVIZI_API int OX_NewWidget(int kind, int parent, const OX_ATTR* pairs, int count);

// Creates a system button of the type under the parent (note the argument
// order). The toolkit places it by type in the popup's button bar: go-back at
// the left end, tick at the right end, cross left of the tick; other types
// left of the cross. Returns its handle, or 0 when the parent is not a widget.
ZODARURUVIZI_API int OX_NewSystemButton(int parent, int type, const OX_ATTR* pairs, int count);

// Sets one attribute. The flag (1: apply now) is recorded and otherwise
// ignored: changes always apply at once. Returns 1, or 0 when the widget does
// not exist. A text given with OXA_TEXT is copied; null is an empty text.
ZODARURUVIZI_API int OX_SetValue(int widget, int attribute, intptr_t value, int flag);

// An attribute's value; 0 when unset or when the widget does not exist. For
// OXA_WIDTH and OXA_HEIGHT an unset value reads as the laid-out size. For
// OXA_TEXT the value is the toolkit's own copy, valid until the text changes.
ZODARURUVIZI_API intptr_t OX_ValueOf(int widget, int attribute);

// Registers handler on target for the widget's events of the reason; a widget
// may have several, called in registration order. Returns 1, or 0 when the
// widget does not exist or target or handler is null.
ZODARURUVIZI_API int OX_AddCallback(int widget, int reason, CObject* target, OX_CALLBACK handler,
                                    CObject* clientData);

// Queues a press of the widget in its popup: the popup's modal loop delivers
// it to the widget's OX_REASON_ACTIVATE callbacks, in the order of posting,
// unless the widget or one of its ancestors is hidden by then. False when the
// widget does not exist or its popup has ended. Any thread may call.
ZODARURUVIZI_API bool OX_PostPress(int widget);

// The widget's laid-out rectangle. Edges: OXA_LEFT/OXA_TOP as a distance from
// the parent's edge, or, when the value is a widget handle, OX_SPACING right
// of / below that widget; OXA_RIGHT/OXA_BOTTOM as a distance from the
// parent's far edge. Both edges of an axis given: the widget stretches between
// them; otherwise its size is OXA_WIDTH/OXA_HEIGHT or its natural size. A
// label's natural height is OX_TEXT_LINE_HEIGHT per line of text (one line
// when empty), or OX_ICON_SIZE when it shows an icon and no text. False when
// the widget does not exist.
ZODARURUVIZI_API bool OX_GetRect(int widget, OX_RECT* rect);

// Whether the widget is drawn: it and all its ancestors are visible.
ZODARURUVIZI_API bool OX_IsShown(int widget);

ZODARURUVIZI_API bool OX_GetWidgetInfo(int widget, OX_WIDGET_INFO* info);

// Everything the widget received, in order: its creation pairs (the first
// OX_WIDGET_INFO::pairCount entries, values as given, text pointers included)
// then one entry per OX_SetValue. Copies up to maxPairs entries and returns
// the full number; -1 when the widget does not exist.
ZODARURUVIZI_API int OX_GetHistory(int widget, OX_ATTR* pairs, int maxPairs);

// Number of OX_SetValue calls so far, on any widget, existing or not.
ZODARURUVIZI_API long OX_GetSetValueCount();

// The popup whose root is the widget. False when it is not a popup's root.
ZODARURUVIZI_API bool OX_GetPopupInfo(int root, OX_POPUP_INFO* info);

// Draws the popup of the root (root area, button bar and every shown widget)
// as an SVG picture written to path. Each widget is a group with the id
// "w<handle>" whose first element is a rect with its laid-out rectangle. A
// hidden root draws an empty frame. False when root is not a popup's root or
// the file cannot be written.
ZODARURUVIZI_API bool OX_RenderSvg(int root, const char* path);

// ---- Popup library --------------------------------------------------------------

class CEsbFrame;

// A popup: a root widget and its modal state. Created by CEsbFrame::BlankPopup
// and owned by the popup library: never delete one.
class ZODARURUVIZI_API CTabPopup {
public:
    ~CTabPopup() = default;
    CTabPopup(const CTabPopup&) = delete;
    CTabPopup& operator=(const CTabPopup&) = delete;

    // The root widget, as large as the popup.
    int GetRoot();
    // Ends the modal run with the code: DoModalPopup returns it once every
    // callback of the press being delivered has returned. Presses still queued are
    // dropped. A popup ended before its run starts returns at once; the first
    // end code counts.
    void EndPopup(int nEndCode);

private:
    friend class CEsbFrame;
    explicit CTabPopup(int root) : m_Root(root) {}
    int m_Root;
};

class ZODARURUVIZI_API CEsbFrame {
public:
    // A new blank popup of width x height with a root widget (shown) of that
    // size. nStyle and nFlags are recorded only.
    static CTabPopup* BlankPopup(int nStyle, int nWidth, int nHeight, int nFlags);
    // Runs the popup modally on the calling thread: takes its queued presses
    // in order and calls their callbacks, waiting while none is queued, until
    // the popup is ended; returns the end code. -1 at once for null, a popup
    // this library did not make, or one whose run is already on.
    static int DoModalPopup(CTabPopup* pPopup);
    // Frees an ended or never-run popup with all its widgets. Not during its
    // modal run.
    static void DestroyPopup(CTabPopup* pPopup);
};

// The icon of a resource id: the same non-null handle for the same id, valid
// for the life of the process.
ZODARURUVIZI_API HICON QL_LoadIcon(unsigned int nId);

#endif
