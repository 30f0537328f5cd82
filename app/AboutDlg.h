// The about box: the icon, the program's name and version, OK.
#ifndef TOVREL_APP_ABOUTDLG_H
#define TOVREL_APP_ABOUTDLG_H

#include <QDialog>

class CDataExchange;

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* pParent = nullptr);
    ~CAboutDlg() override;
    int DoModal() { return exec(); }

protected:
    virtual void DoDataExchange(CDataExchange* pDX);
};

#endif
