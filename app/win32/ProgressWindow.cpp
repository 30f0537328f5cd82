// CProgressWindow over USER32: a small captioned window with a text, a
// progress bar and 取消; no close box.
#include "Win32Api.h"

#include <string>

#include "BusyScope.h"
#include "text/WideText.h"
#include "Win32Dialog.h"

namespace {

const wchar_t kClassName[] = L"TovrelTransferProgress";
constexpr int kCancelId = 100;  // not IDCANCEL: Esc must not press it
const wchar_t kStopping[] = L"\r\n正在停止……";

// Dialog units of the owner, or a fixed size when there is none.
RECT Units(HWND owner, int x, int y, int cx, int cy) {
    RECT rect{x, y, x + cx, y + cy};
    if (owner != nullptr) {
        MapDialogRect(owner, &rect);
    } else {
        rect = {x * 2, y * 2, (x + cx) * 2, (y + cy) * 2};
    }
    return rect;
}

std::wstring LinesForStatic(const std::string& text) {
    std::wstring lines;
    for (wchar_t c : Widen(text)) {
        if (c == L'\n') lines += L'\r';
        lines += c;
    }
    return lines;
}

}  // namespace

struct CProgressWindow::Native {
    HWND window = nullptr;
    HWND text = nullptr;
    HWND bar = nullptr;
    HWND cancel = nullptr;
    bool cancelled = false;

    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<Native*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        switch (message) {
            case WM_NCCREATE:
                SetWindowLongPtrW(window, GWLP_USERDATA,
                                  reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
                break;
            case WM_COMMAND:
                if (self != nullptr && LOWORD(wParam) == kCancelId && HIWORD(wParam) == BN_CLICKED) {
                    self->Cancel();
                    return 0;
                }
                return 0;
            case WM_CLOSE:  // Alt+F4: ended only by its owner in the code
                return 0;
            default:
                break;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    void Cancel() {
        if (cancelled) return;
        cancelled = true;
        EnableWindow(cancel, FALSE);
        const std::wstring shown = [this] {
            std::wstring t(static_cast<size_t>(GetWindowTextLengthW(text)) + 1, L'\0');
            t.resize(static_cast<size_t>(GetWindowTextW(text, t.data(), static_cast<int>(t.size()))));
            return t;
        }();
        SetWindowTextW(text, (shown + kStopping).c_str());
    }
};

CProgressWindow::CProgressWindow(CDialog* owner, const std::string& caption) : m_pNative(std::make_unique<Native>()) {
    const HINSTANCE module = GetModuleHandleW(nullptr);
    static const bool registered = [module] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &Native::Procedure;
        windowClass.hInstance = module;
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        windowClass.lpszClassName = kClassName;
        return RegisterClassExW(&windowClass) != 0;
    }();
    if (!registered) return;

    const HWND ownerWindow = OwnerWindowFor(owner);
    std::wstring title(256, L'\0');
    title.resize(ownerWindow != nullptr ? static_cast<size_t>(GetWindowTextW(ownerWindow, title.data(), 256)) : 0);

    // A caption but no system menu: no close box.
    const DWORD style = WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN;
    const DWORD exStyle = WS_EX_DLGMODALFRAME;
    // Room for three lines from the start (what moves, the bytes, and
    // 正在停止……): the window never changes its size.
    const RECT textRect = Units(ownerWindow, 7, 7, 186, 27);
    const RECT barRect = Units(ownerWindow, 7, 38, 186, 9);
    const RECT buttonRect = Units(ownerWindow, 75, 53, 50, 14);
    RECT frame = Units(ownerWindow, 0, 0, 200, 74);
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    RECT area{};
    if (ownerWindow != nullptr)
        GetWindowRect(ownerWindow, &area);
    else
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    const int x = area.left + (area.right - area.left - width) / 2;
    const int y = area.top + (area.bottom - area.top - height) / 2;

    Native& native = *m_pNative;
    native.window = CreateWindowExW(exStyle, kClassName, title.c_str(), style, x, y, width, height, ownerWindow,
                                    nullptr, module, &native);
    if (native.window == nullptr) return;
    auto child = [&native, module](const wchar_t* windowClass, const wchar_t* text, DWORD childStyle, const RECT& r,
                                   int id) {
        return CreateWindowExW(0, windowClass, text, WS_CHILD | WS_VISIBLE | childStyle, r.left, r.top,
                               r.right - r.left, r.bottom - r.top, native.window,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), module, nullptr);
    };
    native.text = child(WC_STATICW, LinesForStatic(caption).c_str(), SS_LEFT | SS_NOPREFIX, textRect, -1);
    native.bar = child(PROGRESS_CLASSW, L"", 0, barRect, -1);
    native.cancel = child(WC_BUTTONW, L"取消", WS_TABSTOP | BS_PUSHBUTTON, buttonRect, kCancelId);
    SendMessageW(native.bar, PBM_SETRANGE32, 0, 1000);
    const LPARAM font = ownerWindow != nullptr ? SendMessageW(ownerWindow, WM_GETFONT, 0, 0) : 0;
    for (HWND control : {native.text, native.bar, native.cancel})
        SendMessageW(control, WM_SETFONT, static_cast<WPARAM>(font), FALSE);
    BusyScope::AllowInput(native.window);
    ShowWindow(native.window, SW_SHOW);
    SetFocus(native.cancel);
    UpdateWindow(native.window);
}

CProgressWindow::~CProgressWindow() {
    if (m_pNative->window == nullptr) return;
    BusyScope::AllowInput(nullptr);
    BusyScope::DestroyOwnedWindow(m_pNative->window);
}

void CProgressWindow::SetProgress(const std::string& text, int permille) {
    if (m_pNative->window == nullptr || m_pNative->cancelled) return;
    SetWindowTextW(m_pNative->text, LinesForStatic(text).c_str());
    SendMessageW(m_pNative->bar, PBM_SETPOS, static_cast<WPARAM>(permille), 0);
}

bool CProgressWindow::CancelPressed() const { return m_pNative->cancelled; }
