#include "BusyScope.h"

#include "serial/SerialChannel.h"

namespace {

int g_depth = 0;   // open scopes
int g_pauses = 0;  // open pauses inside them
HWND g_dialog = nullptr;
HWND g_allowed = nullptr;
HWND g_focusWhenDone = nullptr;
bool g_focusSelects = false;  // set through FocusWhenDone: an edit's text is selected

constexpr int kMaxMessagesPerCall = 200;
constexpr DWORD kMaxPumpMs = 50;

bool IsUserInput(UINT message) {
    return (message >= WM_KEYFIRST && message <= WM_KEYLAST) ||
           (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) ||
           (message >= WM_NCMOUSEMOVE && message <= WM_NCXBUTTONDBLCLK) || message == WM_NCMOUSEHOVER ||
           message == WM_NCMOUSELEAVE || message == WM_MOUSEHOVER || message == WM_MOUSELEAVE ||
           message == WM_INPUT || message == BM_CLICK;
}

bool Allowed(HWND target) {
    return g_allowed != nullptr && target != nullptr && (target == g_allowed || IsChild(g_allowed, target));
}

// Never over the window that takes input: its button is there to press.
void SetWaitCursor(bool wait) {
    POINT at{};
    const bool overAllowed = GetCursorPos(&at) && Allowed(WindowFromPoint(at));
    SetCursor(LoadCursorW(nullptr, wait && !overAllowed ? IDC_WAIT : IDC_ARROW));
}

// Input that arrived while the handler held the thread: dropped, so that
// no click or key runs anything once it returns.
void DropQueuedInput() {
    const UINT ranges[][2] = {{WM_KEYFIRST, WM_KEYLAST},
                              {WM_MOUSEFIRST, WM_MOUSELAST},
                              {WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK},
                              {BM_CLICK, BM_CLICK}};
    MSG message;
    for (const auto& range : ranges) {
        for (int i = 0; i < 10000 && PeekMessageW(&message, nullptr, range[0], range[1], PM_REMOVE); ++i) {
        }
    }
}

void RepaintWhileWaiting(void*) { BusyScope::KeepPainted(); }

}  // namespace

BusyScope::BusyScope(HWND dialog) {
    if (g_depth++ > 0) return;
    g_dialog = dialog;
    const HWND focus = GetFocus();
    g_focusWhenDone = focus != nullptr && IsChild(dialog, focus) ? focus : nullptr;
    g_focusSelects = false;
    EnableWindow(dialog, FALSE);
    SetWaitCursor(true);
    theSerialChannel.SetIdleHook(&RepaintWhileWaiting, nullptr);
}

BusyScope::~BusyScope() {
    if (--g_depth > 0) return;
    theSerialChannel.SetIdleHook(nullptr, nullptr);
    DropQueuedInput();
    g_allowed = nullptr;
    EnableWindow(g_dialog, TRUE);
    if (g_focusWhenDone != nullptr && IsWindow(g_focusWhenDone)) {
        if (g_focusSelects)
            SendMessageW(g_dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(g_focusWhenDone), TRUE);
        else
            SetFocus(g_focusWhenDone);
    }
    g_dialog = nullptr;
    g_focusWhenDone = nullptr;
    SetWaitCursor(false);
}

bool BusyScope::InHandler() { return g_depth > 0; }

bool BusyScope::ShowsBusy() { return g_depth > 0 && g_pauses == 0; }

void BusyScope::KeepPainted() {
    if (!ShowsBusy()) return;
    SetWaitCursor(true);
    const DWORD start = GetTickCount();
    MSG message;
    for (int handled = 0; handled < kMaxMessagesPerCall && GetTickCount() - start < kMaxPumpMs; ++handled) {
        if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) break;
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));  // for the loop that ends on it
            break;
        }
        const bool allowed = Allowed(message.hwnd);
        if (IsUserInput(message.message) && !allowed) continue;
        if (allowed && IsDialogMessageW(g_allowed, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void BusyScope::AllowInput(HWND window) { g_allowed = window; }

void BusyScope::FocusWhenDone(HWND control) {
    g_focusWhenDone = control;
    g_focusSelects = true;
}

void BusyScope::DestroyOwnedWindow(HWND window) {
    const bool disabled = g_dialog != nullptr && !IsWindowEnabled(g_dialog);
    if (disabled) EnableWindow(g_dialog, TRUE);
    DestroyWindow(window);
    if (disabled) EnableWindow(g_dialog, FALSE);
}

BusyScope::ModalPause::ModalPause() : m_paused(g_depth > 0) {
    if (!m_paused) return;
    if (g_pauses++ == 0) EnableWindow(g_dialog, TRUE);
    SetWaitCursor(false);
}

BusyScope::ModalPause::~ModalPause() {
    if (!m_paused) return;
    if (--g_pauses == 0) {
        EnableWindow(g_dialog, FALSE);
        SetWaitCursor(true);
    }
}
