// A combo box of a dialog, reached through the dialog by its id: what the
// data exchange attaches to a member, as the handlers know it.
#ifndef TOVREL_APP_COMBOBOX_H
#define TOVREL_APP_COMBOBOX_H

#include <string>

#include "DialogFramework.h"

class CComboBox {
public:
    void Attach(CDialog* dialog, int id) {
        m_pDialog = dialog;
        m_nId = id;
    }
    bool Attached() const { return m_pDialog != nullptr; }
    int GetDlgCtrlID() const { return m_nId; }

    int AddString(const std::string& text) { return m_pDialog->ComboAddString(m_nId, text); }
    void ResetContent() { m_pDialog->ComboResetContent(m_nId); }
    int GetCount() const { return m_pDialog->ComboGetCount(m_nId); }
    std::string GetLBText(int index) const { return m_pDialog->ComboGetLBText(m_nId, index); }
    // -1: no item selected (text typed that is no item's).
    int GetCurSel() const { return m_pDialog->ComboGetCurSel(m_nId); }
    void SetCurSel(int index) { m_pDialog->ComboSetCurSel(m_nId, index); }
    std::string GetWindowText() const { return m_pDialog->GetDlgItemText(m_nId); }

private:
    CDialog* m_pDialog = nullptr;
    int m_nId = 0;
};

#endif
