#include "zodaruruvizi/dialogs/tabdialog.h"

#include <stdint.h>

namespace {

const int kMargin = 16;
const int kIconSize = 32;
const int kPopupStyle = 0;
const int kPopupFlags = 4;
const int kApplyNow = 1;
const int kTickButtonType = 1;
const int kCrossButtonType = 2;
const int kGoBackButtonType = 0x20;
const int kButtonReason = 2;
const int kLabelKind = 3;
const int kAreaKind = 2;

CObject* HandleAsClientData(int widget) {
    return reinterpret_cast<CObject*>(static_cast<intptr_t>(widget));
}

}  // namespace

CTabDialog::CTabDialog(int nWidth, int nHeight)
    : m_GoBackButton(0),
      m_TickButton(0),
      m_CrossButton(0),
      m_ContentArea(0),
      m_Root(0),
      m_TitleWidget(0),
      m_IconWidget(0),
      m_pPopup(nullptr),
      m_hIcon(nullptr),
      m_Width(nWidth),
      m_Height(nHeight) {}

CTabDialog::~CTabDialog() = default;

int CTabDialog::DoModal() {
    CreateDisplay();
    OX_SetValue(m_Root, 17, 1, kApplyNow);
    int code = CEsbFrame::DoModalPopup(m_pPopup);
    m_pPopup = nullptr;
    return code;
}

void CTabDialog::SetTitle(const char* pszTitle) {
    m_Title = pszTitle;
    if (m_TitleWidget != 0) {
        OX_SetValue(m_TitleWidget, 313, reinterpret_cast<intptr_t>(pszTitle), kApplyNow);
    }
}

void CTabDialog::SetIcon(unsigned int nIconId) {
    m_hIcon = QL_LoadIcon(nIconId);
    if (m_IconWidget != 0) {
        OX_SetValue(m_IconWidget, 309, reinterpret_cast<intptr_t>(m_hIcon), kApplyNow);
    }
}

void CTabDialog::ShowTickButton() {
    OX_SetValue(m_TickButton, 17, 1, kApplyNow);
}

void CTabDialog::HideTickButton() {
    OX_SetValue(m_TickButton, 17, 0, kApplyNow);
}

void CTabDialog::ShowCrossButton() {
    OX_SetValue(m_CrossButton, 17, 1, kApplyNow);
}

void CTabDialog::HideCrossButton() {
    OX_SetValue(m_CrossButton, 17, 0, kApplyNow);
}

void CTabDialog::ShowGoBackButton() {
    OX_SetValue(m_GoBackButton, 17, 1, kApplyNow);
}

void CTabDialog::HideGoBackButton() {
    OX_SetValue(m_GoBackButton, 17, 0, kApplyNow);
}

void CTabDialog::CreateDisplay() {
    const OX_CALLBACK handler = static_cast<OX_CALLBACK>(&CTabDialog::ButtonCallback);

    m_pPopup = CEsbFrame::BlankPopup(kPopupStyle, m_Width, m_Height, kPopupFlags);
    m_Root = m_pPopup->GetRoot();
    OX_SetValue(m_Root, 17, 0, kApplyNow);

    m_TickButton = OX_NewSystemButton(m_Root, kTickButtonType, nullptr, 0);
    OX_SetValue(m_TickButton, 17, 1, kApplyNow);
    OX_AddCallback(m_TickButton, kButtonReason, this, handler, HandleAsClientData(m_TickButton));

    m_CrossButton = OX_NewSystemButton(m_Root, kCrossButtonType, nullptr, 0);
    OX_SetValue(m_CrossButton, 17, 1, kApplyNow);
    OX_AddCallback(m_CrossButton, kButtonReason, this, handler, HandleAsClientData(m_CrossButton));

    m_GoBackButton = OX_NewSystemButton(m_Root, kGoBackButtonType, nullptr, 0);
    OX_SetValue(m_GoBackButton, 401, 2, kApplyNow);
    OX_SetValue(m_GoBackButton, 17, 1, kApplyNow);
    OX_AddCallback(m_GoBackButton, kButtonReason, this, handler,
                   HandleAsClientData(m_GoBackButton));

    const OX_ATTR iconAttrs[] = {
        {63, kMargin},   {64, kMargin}, {55, kIconSize},
        {56, kIconSize}, {301, 1},      {309, reinterpret_cast<intptr_t>(m_hIcon)},
    };
    m_IconWidget = OX_NewWidget(kLabelKind, m_Root, iconAttrs, 6);

    const OX_ATTR titleAttrs[] = {
        {63, m_IconWidget},
        {65, kMargin},
        {64, kMargin},
        {313, reinterpret_cast<intptr_t>(m_Title.GetString())},
        {7, 267},
        {312, 1},
        {6, 33},
        {15, 2},
    };
    m_TitleWidget = OX_NewWidget(kLabelKind, m_Root, titleAttrs, 8);

    const intptr_t iconHeight = OX_ValueOf(m_IconWidget, 56);
    if (iconHeight > OX_ValueOf(m_TitleWidget, 56)) {
        OX_SetValue(m_TitleWidget, 56, iconHeight, kApplyNow);
    }

    const OX_ATTR contentAttrs[] = {
        {64, m_TitleWidget}, {63, kMargin}, {65, kMargin}, {66, kMargin}, {8, 0xFFFFFF}, {50, 7},
    };
    m_ContentArea = OX_NewWidget(kAreaKind, m_Root, contentAttrs, 6);

    CreateContents();
}

void CTabDialog::EndDialog(int nEndCode) {
    OnEndDialog(nEndCode);
    if (m_pPopup != nullptr) {
        m_pPopup->EndPopup(nEndCode);
    }
}

int CTabDialog::ButtonCallback(int nWidget, CObject* pClientData, int* pCallData) {
    (void)nWidget;
    (void)pCallData;
    const intptr_t button = reinterpret_cast<intptr_t>(pClientData);
    if (button == m_TickButton) {
        EndDialog(kTickEndCode);
    } else if (button == m_CrossButton) {
        EndDialog(kCancelEndCode);
    } else if (button == m_GoBackButton) {
        EndDialog(kCancelEndCode);
    }
    return 1;
}
