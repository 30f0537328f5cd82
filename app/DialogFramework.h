// The dialog framework the window's handlers are written against.
//
// The handlers (CTovrelDlg, CAboutDlg, CTovrelApp) hold no type of any
// window system: they reach controls by id, keep texts as UTF-8 strings,
// and use the few pieces declared here. Two implementations provide them,
// each a folder picked wholesale by the build: app/qt/ over Qt Widgets and
// app/win32/ over USER32 and COMDLG32.
//
// Model
//   A CDialog is made from its dialog template (DialogTemplate.h, by id) by
//   DoModal, which runs a modal loop until EndDialog, or by Create, which
//   shows it without a loop of its own (tools and tests drive it). Once the
//   window and its controls exist, the framework calls OnInitDialog; when
//   that returns true, the focus goes to the first tab stop, an edit's text
//   selected. From then on the framework calls, on the one thread:
//     OnCommand     for a button click (BN_CLICKED) and a combo's selection
//                   change by the user (CBN_SELCHANGE) or its list dropping
//                   down (CBN_DROPDOWN);
//     OnOK          for Enter (a focused button takes Enter as a click; a
//                   multi-line edit takes it as a line break);
//     OnCancel      for Esc and the close box;
//     OnSysCommand  for a system-menu command;
//     OnHelp        for F1;
//     OnPaint       when the window needs painting;
//     OnQueryDragIcon when the minimised window is dragged.
//
//   While OnCommand runs a button's or a selection's handler, the window
//   belongs to it: its exchanges with the module take seconds, on the one
//   thread. The framework then drops the user's input to the dialog (no
//   second handler can start, Enter, Esc and the close box do nothing),
//   keeps the window painted through every wait (KeepWindowPainted) and
//   shows a busy cursor. A message box or file dialog shown meanwhile takes
//   input as usual, and so does a progress window's cancel button. OnOK and
//   OnCancel own the window in the same way, since they may ask and then
//   talk to the module before the dialog ends.
//
// Texts are UTF-8. A multi-line edit's line breaks read and write as
// "\r\n". Ids and notification codes are those of Windows.
#ifndef TOVREL_APP_DIALOGFRAMEWORK_H
#define TOVREL_APP_DIALOGFRAMEWORK_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CDataExchange;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// OnCommand's notification codes.
constexpr int BN_CLICKED = 0;
constexpr int CBN_SELCHANGE = 1;
constexpr int CBN_DROPDOWN = 7;

// System commands the framework knows (the low four bits are the system's).
constexpr unsigned SC_CLOSE_COMMAND = 0xF060;

// An icon loaded from the program's resources; owned by the framework for
// the whole run. Null: none.
using IconHandle = const void*;
IconHandle LoadIconResource(int resourceId);

class CDialog {
public:
    CDialog(int templateId, CDialog* pParent);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Makes the window, initialises it and runs it modally; the value that
    // EndDialog was given.
    int DoModal();
    // Makes, initialises and shows the window; false if it cannot be made.
    bool Create();
    // Ends the modal loop (DoModal returns result) or hides a created one.
    void EndDialog(int result);
    // The data exchange, members into controls (false) or back (true);
    // false when a field was refused (its message has been shown).
    bool UpdateData(bool bSaveAndValidate = true);

    // Controls by id: edits, static texts and a combo's edit field.
    std::string GetDlgItemText(int id) const;
    void SetDlgItemText(int id, const std::string& text);
    // Typing cannot take the edit past maxBytes bytes of code page 936 (a
    // Chinese character counts two).
    void LimitEditText(int id, int maxBytes);
    // The focus to the control; an edit's text is selected.
    void GotoDlgCtrl(int id);
    // Whether the control has the focus.
    bool HasFocus(int id) const;

    // Drop-down combos with an edit field.
    void ComboResetContent(int id);
    // Adds an item at the end of the list (the list keeps the order given);
    // its index.
    int ComboAddString(int id, const std::string& text);
    int ComboGetCount(int id) const;
    std::string ComboGetLBText(int id, int index) const;
    // The selected item, or -1 when there is none: the edit field shows text
    // that is no item's.
    int ComboGetCurSel(int id) const;
    // Selects an item (-1: none); the edit field shows its text. Not a
    // selection change by the user: OnCommand is not called.
    void ComboSetCurSel(int id, int index);

    // A modal message box owned by this dialog: the application's name as
    // caption, the text, an OK button, no icon.
    void MessageBox(const std::string& text);
    // A question in the same kind of box, with one button for each label,
    // left to right: the index of the one chosen. Enter takes
    // defaultButton (or the button with the focus), Esc and the close box
    // the last.
    int AskQuestion(const std::string& text, const std::vector<std::string>& buttons, int defaultButton = 0);

    // The window's system menu.
    bool HasSystemMenu() const;
    void AppendSystemMenuSeparator();
    void AppendSystemMenuItem(unsigned id, const std::string& text);

    // The window's caption icons.
    void SetIcon(IconHandle icon, bool big);
    // Whether the window is minimised.
    bool IsIconic() const;

    // Inside OnPaint only: the client area's size, the system's icon size,
    // an icon drawn at a client position (its background erased first),
    // and the framework's own painting.
    int ClientWidth() const;
    int ClientHeight() const;
    static int SystemIconWidth();
    static int SystemIconHeight();
    void DrawIconAt(int x, int y, IconHandle icon);
    void DefaultPaint();

    // The framework's window behind this dialog, its own business: a nested
    // type, so the framework reaches the handlers below.
    struct Native;
    Native* NativeWindow() const { return m_pNative.get(); }

protected:
    // True: the framework puts the focus on the first tab stop.
    virtual bool OnInitDialog();
    virtual void DoDataExchange(CDataExchange* pDX);
    // True when handled.
    virtual bool OnCommand(int id, int notifyCode);
    // UpdateData(true), then EndDialog(IDOK) if every field was taken.
    virtual void OnOK();
    virtual void OnCancel();
    // The default passes the command to the system (close, move, ...).
    virtual void OnSysCommand(unsigned nID, intptr_t lParam);
    virtual void OnHelp();
    virtual void OnPaint();
    // The icon to drag while the window is minimised; null: the system's.
    virtual IconHandle OnQueryDragIcon() const { return nullptr; }
    // What the system does with a system command.
    void DefaultSysCommand(unsigned nID, intptr_t lParam);

private:
    int m_nTemplateId;
    CDialog* m_pParent;
    std::unique_ptr<Native> m_pNative;
};

// The common file-open dialog, as the handlers ask for it: open (not save),
// a default extension, an initial file name, flags (OFN_ values of
// Windows) and a filter ("description|pattern|...|").
class CFileDialog {
public:
    CFileDialog(bool bOpenFileDialog, const char* lpszDefExt, const char* lpszFileName, unsigned dwFlags,
                const char* lpszFilter, CDialog* pParentWnd = nullptr);
    // IDOK once a file was chosen, IDCANCEL otherwise.
    int DoModal();
    // The chosen file's full path.
    std::string GetPathName() const { return m_strPathName; }

private:
    bool m_bOpen;
    std::string m_strDefExt;
    std::string m_strFileName;
    unsigned m_dwFlags;
    std::string m_strFilter;
    CDialog* m_pParentWnd;
    std::string m_strPathName;
};

// A modeless window for a long transfer, centred on its owner: a text, a
// bar and a 取消 button. Esc and its close box do nothing; it goes with the
// object.
class CProgressWindow {
public:
    CProgressWindow(CDialog* owner, const std::string& caption);
    ~CProgressWindow();
    CProgressWindow(const CProgressWindow&) = delete;
    CProgressWindow& operator=(const CProgressWindow&) = delete;

    // The text (lines split by "\n") and the bar, 0 to 1000.
    void SetProgress(const std::string& text, int permille);
    // True once 取消 has been pressed; the button is then disabled.
    bool CancelPressed() const;

    struct Native;

private:
    std::unique_ptr<Native> m_pNative;
};

// While a handler runs: lets the window repaint and the framework's timers
// run; user input meant for the dialog is dropped. Does nothing outside a
// handler.
void KeepWindowPainted();

// True once the system has asked the program to end (on Linux INT, TERM or
// HUP; the window ends as soon as no exchange runs): a long transfer then
// stops between two chunks, as by 取消, rather than run on for minutes.
// Windows' window has no such request: always false there.
bool EndRequested();

#endif
