// The about box: the icon, the program's name and version, OK.
#ifndef TOVREL_APP_ABOUTDLG_H
#define TOVREL_APP_ABOUTDLG_H

#include "DialogFramework.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg();
    ~CAboutDlg() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
};

#endif
