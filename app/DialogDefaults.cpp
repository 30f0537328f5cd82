// The parts of the dialog framework that need no window system: the data
// exchange's entry, the handlers' defaults and the file dialog's request.
// Both frameworks share them; each provides the rest of DialogFramework.h.
#include "DataExchange.h"
#include "DialogFramework.h"

bool CDialog::UpdateData(bool bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return !dx.Failed();
}

bool CDialog::OnInitDialog() {
    UpdateData(false);
    return true;
}

void CDialog::DoDataExchange(CDataExchange*) {}

bool CDialog::OnCommand(int, int) { return false; }

void CDialog::OnOK() {
    if (UpdateData(true)) EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::OnSysCommand(unsigned nID, intptr_t lParam) { DefaultSysCommand(nID, lParam); }

void CDialog::OnHelp() {}

void CDialog::OnPaint() { DefaultPaint(); }

CFileDialog::CFileDialog(bool bOpenFileDialog, const char* lpszDefExt, const char* lpszFileName, unsigned dwFlags,
                         const char* lpszFilter, CDialog* pParentWnd)
    : m_bOpen(bOpenFileDialog),
      m_strDefExt(lpszDefExt != nullptr ? lpszDefExt : ""),
      m_strFileName(lpszFileName != nullptr ? lpszFileName : ""),
      m_dwFlags(dwFlags),
      m_strFilter(lpszFilter != nullptr ? lpszFilter : ""),
      m_pParentWnd(pParentWnd) {}
