// Drives the real tovrel.exe from outside: combo items chosen and text
// typed into combos with the X server's own mouse and keyboard (xdotool,
// run by wine-ports), as a user does; edits' texts set by message, buttons
// clicked by posted BM_CLICK (so the test is not blocked while the handler
// runs), every message box of the program read and answered with OK, the
// file dialog answered with a path typed into its name field.
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
// Real input on the X server the program runs on: an xdotool script, one
// command a line. Without a window manager a window's screen position is
// its X position. False when it was not sent within 5 s.
bool SendXInput(const std::string& script);
// "mousemove X Y" to a window's point, given relative to its window
// rectangle (negative: from the right or bottom edge).
std::string PointerTo(HWND window, int x, int y);

class WindowDriver {
public:
    // What a click or a selection brought up, besides message boxes.
    struct Answers {
        std::vector<std::wstring> files;  // typed into file dialogs in turn; none left: cancelled
        // The buttons pressed in questions, in turn, by label; none left: OK
        // (the default button). A label the box has not is reported as a box.
        std::vector<std::string> choices;
        // Called once while the progress window is up, with it.
        std::function<void(HWND progress)> onProgress;
    };

    WindowDriver() = default;
    ~WindowDriver();
    WindowDriver(const WindowDriver&) = delete;
    WindowDriver& operator=(const WindowDriver&) = delete;

    // Starts exe in the working folder and waits (at most 20 s) for its
    // dialog, then until it is idle; the message boxes its start shows are
    // answered and kept.
    bool Start(const std::wstring& exe, const std::wstring& folder, std::vector<std::string>* startupBoxes = nullptr);
    // Ends the process (never left behind).
    void Stop();

    HWND Dialog() const { return m_dialog; }
    HWND Item(int id) const { return GetDlgItem(m_dialog, id); }
    DWORD ProcessId() const { return m_process.dwProcessId; }
    bool Running() const;

    std::string Text(int id) const;
    void SetText(int id, const std::string& utf8);
    // Drops a combo's list with a click on its drop button; the list's
    // window, or null.
    HWND DropDown(int comboId);
    // Chooses a combo item with the mouse: a click on the drop button,
    // another on the item in the list; the message boxes that follow (a
    // box may come before the item shows, or instead).
    std::vector<std::string> Choose(int comboId, int index, Answers answers = {});
    // The second half of that: a click on the item in the dropped list.
    std::vector<std::string> ChooseInList(int comboId, HWND list, int index, Answers answers = {});
    // Chooses with the keyboard: a click into the combo's edit field, then
    // keys by xdotool's names ("Up", "alt+Down Down Return"); once the
    // combo's selection is `index`, the message boxes that follow.
    std::vector<std::string> ChooseByKeys(int comboId, const std::string& keys, int index);
    // Types into a combo's edit field (or an edit) with the keyboard, over
    // what it showed; the boxes that follow.
    std::vector<std::string> TypeInto(int comboId, const std::string& ascii);
    // The item the combo shows selected, -1 for none; whether its list is
    // down.
    int Selected(int comboId) const;
    bool Dropped(int comboId) const;
    std::string ItemText(int comboId, int index) const;
    // The control with the focus; whether a message box is up.
    HWND Focus() const;
    bool BoxShown() const { return FindMessageBox() != nullptr; }
    // Clicks a button and returns the texts of the message boxes its
    // handler showed, in order, each answered with OK, once the dialog is
    // idle again (at most 120 s); "<ended>" last when the program ended.
    std::vector<std::string> Click(int id, Answers answers = {});
    // The same with the X server's mouse; its handler is known to have run
    // once `shown` holds (by default: a box is up), at most 10 s.
    std::vector<std::string> ClickByMouse(int id, Answers answers = {}, std::function<bool()> shown = nullptr);
    // Keys by xdotool's names ("Return", "Escape") where the focus is;
    // the boxes once `shown` holds (at most 10 s), as ClickByMouse.
    std::vector<std::string> PressKeys(const std::string& keys, Answers answers = {}, std::function<bool()> shown = nullptr);
    // Types text into a control, one WM_CHAR a character, as the keyboard
    // would; the boxes that follow.
    std::vector<std::string> Type(int id, const std::wstring& text);
    // Waits for the dialog to be idle, answering boxes as Click does.
    std::vector<std::string> Settle(Answers answers = {});
    // After input made by the X server: waits for `shown` (default: a box
    // up), then Settles.
    std::vector<std::string> SettleOnceShown(Answers answers, const std::function<bool()>& shown);

    // Top-level windows of the program that are on screen.
    std::vector<HWND> TopLevelWindows() const;
    // The program's visible dialog-class window with this caption, or null.
    HWND FindDialog(const std::wstring& caption) const;
    HWND ProgressWindow() const;
    bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs) const;

private:
    bool Chosen(int comboId, int index) const;
    HWND FindMessageBox() const;
    // Answers a box: the button of the next choice, else OK; false when the
    // box has no button of that label.
    bool Answer(HWND box, Answers* answers);
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
