// Base class of the hosts' modal tab dialogs.
#ifndef ZODARURUVIZI_DIALOGS_TABDIALOG_H
#define ZODARURUVIZI_DIALOGS_TABDIALOG_H

#include "hostapi/widgets.h"
#include "platform/afx.h"
#include "platform/export.h"
#include "platform/winapi.h"

// A modal pop-up dialog with a fixed frame: an icon at the top left, the
// title beside it, a white content area below, and the tick, cross and
// go-back system buttons. The tick button ends the dialog with 1, the cross
// and go-back buttons with -1.
//
// A derived class passes its popup size to the constructor, may call SetTitle
// and SetIcon, and provides CreateContents (creating its widgets with
// m_ContentArea as parent and showing or hiding the standard buttons; all three
// are shown by default) and OnEndDialog (told the end code before the popup
// closes). Then DoModal runs the dialog.
//
// Ownership: the dialog owns its title text only. The popup and every widget
// belong to the popup library and the widget toolkit and are never deleted
// here.
//
// Threads: no locks. Every call belongs on the thread that runs DoModal; the
// button callbacks arrive on it while the modal loop runs.
//
// Failures: none are reported; toolkit results are used as handles unchecked.
class ZODARURUVIZI_API CTabDialog : public CObject {
public:
    static constexpr int kTickEndCode = 1;
    static constexpr int kCancelEndCode = -1;

    // Stores the popup size; builds nothing. Handles start as 0, the popup
    // null, the title empty, the icon null.
    CTabDialog(int nWidth, int nHeight);
    // Releases the title only: neither the popup nor its widgets.
    ~CTabDialog() override;
    CTabDialog(const CTabDialog&) = delete;
    CTabDialog& operator=(const CTabDialog&) = delete;

    // Builds a new frame (CreateDisplay, which calls CreateContents), shows it
    // and runs it modally until it is ended; returns the end code (1 for the
    // tick button, -1 for cross and go-back, or the code given to EndDialog).
    // May be called again after it returns: each run builds a new popup.
    int DoModal();

    // Stores the title. When the frame exists, the title widget is given the
    // caller's pointer (the toolkit copies the text) and shows it at once.
    void SetTitle(const char* pszTitle);
    // Loads the icon of a resource id and keeps its handle; when the frame
    // exists, the icon widget shows it at once.
    void SetIcon(unsigned int nIconId);

    // Show or hide a standard button. Meant for the time when the frame
    // exists: from CreateContents on and while the dialog runs. The handle is
    // not tested.
    void ShowTickButton();
    void HideTickButton();
    void ShowCrossButton();
    void HideCrossButton();
    void ShowGoBackButton();
    void HideGoBackButton();

protected:
    // Creates the derived class's widgets under m_ContentArea; called by
    // CreateDisplay once the frame is built.
    virtual void CreateContents() = 0;
    // Told the end code of the run before the popup is ended.
    virtual void OnEndDialog(int nEndCode) = 0;
    // Builds a new popup and frame: root hidden while building, the three
    // standard buttons shown with ButtonCallback registered for each (client
    // data: the button's handle), the 32 x 32 icon 16 from the top left, the
    // title beside it at least as tall as the icon, the white content area
    // below, 16 from the left, right and bottom edges; then CreateContents.
    virtual void CreateDisplay();
    // Calls OnEndDialog, then ends the popup with the code if a run is on.
    virtual void EndDialog(int nEndCode);
    // The standard buttons' handler: client data equal to the tick button
    // ends with 1, to the cross or go-back button with -1; anything else ends
    // nothing. Always returns 1.
    virtual int ButtonCallback(int nWidget, CObject* pClientData, int* pCallData);

    int m_GoBackButton;
    int m_TickButton;
    int m_CrossButton;
    int m_ContentArea;  // parent of every widget of a derived class
    int m_Root;
    int m_TitleWidget;
    int m_IconWidget;
    CTabPopup* m_pPopup;  // popup of the current run; null outside DoModal
    CString m_Title;
    HICON m_hIcon;
    int m_Width;
    int m_Height;
};

#endif
