#include "TovrelApp.h"

#include "TovrelDlg.h"

CTovrelApp theApp;

bool CTovrelApp::InitInstance() {
    CTovrelDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return false;
}
