// Drives the real tovrel.exe from outside, through window messages, as a
// user's input would arrive: texts set into controls, combo items chosen
// with the notification the combo sends, buttons clicked by posted
// BM_CLICK (so the test is not blocked while the handler runs), every
// message box of the program read and answered with OK, the file dialog
// answered with a path typed into its name field.
#ifndef TOVREL_TESTS_WINE_WINDOWDRIVER_H
#define TOVREL_TESTS_WINE_WINDOWDRIVER_H

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "text/WideText.h"

std::wstring WindowTextOf(HWND window);
std::wstring ClassOf(HWND window);

// Relinks COM1 and COM2 to a layout of wine-ports (WinePorts.cpp); false
// when wine-ports did not take it within 3 s.
bool UsePortLayout(const char* layout);

class WindowDriver {
public:
    // What a click or a selection brought up, besides message boxes.
    struct Answers {
        std::vector<std::wstring> files;  // typed into file dialogs in turn; none left: cancelled
        // Called once while the progress window is up, with it.
        std::function<void(HWND progress)> onProgress;
    };

    WindowDriver() = default;
    ~WindowDriver();
    WindowDriver(const WindowDriver&) = delete;
    WindowDriver& operator=(const WindowDriver&) = delete;

    // Starts exe in the working folder and waits (at most 20 s) for its
    // dialog; the message boxes it shows meanwhile are answered and kept.
    bool Start(const std::wstring& exe, const std::wstring& folder, std::vector<std::string>* startupBoxes = nullptr);
    // Ends the process (never left behind).
    void Stop();

    HWND Dialog() const { return m_dialog; }
    HWND Item(int id) const { return GetDlgItem(m_dialog, id); }
    DWORD ProcessId() const { return m_process.dwProcessId; }
    bool Running() const;

    std::string Text(int id) const;
    void SetText(int id, const std::string& utf8);
    // Selects a combo item as the user would: the selection, then the
    // combo's CBN_SELCHANGE to the dialog; the message boxes that follow.
    std::vector<std::string> Choose(int comboId, int index, Answers answers = {});
    // Selects a combo item without telling the dialog (a list that is only
    // read when a button needs it).
    void Select(int comboId, int index);
    // Clicks a button and returns the texts of the message boxes its
    // handler showed, in order, each answered with OK, once the dialog is
    // idle again (at most 120 s).
    std::vector<std::string> Click(int id, Answers answers = {});
    // Types text into a control, one WM_CHAR a character, as the keyboard
    // would; the boxes that follow.
    std::vector<std::string> Type(int id, const std::wstring& text);
    // Waits for the dialog to be idle, answering boxes as Click does.
    std::vector<std::string> Settle(Answers answers = {});

    // Top-level windows of the program that are on screen.
    std::vector<HWND> TopLevelWindows() const;
    // The program's visible dialog-class window with this caption, or null.
    HWND FindDialog(const std::wstring& caption) const;
    HWND ProgressWindow() const;
    bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs) const;

private:
    HWND FindMessageBox() const;
    HWND FindFileDialog() const;
    bool Idle() const;
    // Posts input for the program (none when window is null), and a mark
    // behind it.
    void Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    PROCESS_INFORMATION m_process{};
    bool m_marked = false;  // a mark is posted and not yet seen
    HWND m_dialog = nullptr;
};

#endif
