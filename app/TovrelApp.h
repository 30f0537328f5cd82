// The application: it shows the main dialog modally and ends with it; the
// application's own message loop is never entered.
#ifndef TOVREL_APP_TOVRELAPP_H
#define TOVREL_APP_TOVRELAPP_H

class CTovrelDlg;

class CTovrelApp {
public:
    CTovrelApp() = default;
    virtual ~CTovrelApp() = default;

    // Runs the dialog; always false (nothing left to run afterwards).
    virtual bool InitInstance();

    CTovrelDlg* m_pMainWnd = nullptr;  // the dialog while it runs
};

extern CTovrelApp theApp;

#endif
