#include "EditLimit.h"

#include <string>

#include "text/WideText.h"
#include "text/Cp936.h"

namespace {

constexpr UINT_PTR kSubclassId = 0x7E1;

std::wstring WindowText(HWND window) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

// Whether the edit's text with its selection replaced by `typed` fits.
bool Fits(HWND edit, const std::wstring& typed, int maxBytes) {
    DWORD start = 0, end = 0;
    SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    std::wstring text = WindowText(edit);
    if (start > text.size()) start = static_cast<DWORD>(text.size());
    if (end < start) end = start;
    text.replace(start, end - start, typed);
    return Cp936ByteLength(Narrow(text)) <= static_cast<size_t>(maxBytes);
}

std::wstring ClipboardText(HWND owner) {
    std::wstring text;
    if (!OpenClipboard(owner)) return text;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = chars;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    // One line: the rest would not go into a one-line edit either.
    const size_t lineEnd = text.find_first_of(L"\r\n");
    if (lineEnd != std::wstring::npos) text.resize(lineEnd);
    return text;
}

LRESULT CALLBACK LimitedEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR maxBytes) {
    const int limit = static_cast<int>(maxBytes);
    switch (message) {
        case WM_CHAR:
        case WM_IME_CHAR:
            // Control characters (Backspace, Ctrl+A, ...) add nothing.
            if (wParam >= 0x20 && !Fits(edit, std::wstring(1, static_cast<wchar_t>(wParam)), limit)) {
                MessageBeep(MB_OK);
                return 0;
            }
            break;
        case WM_PASTE: {
            // As much of the clipboard as fits, whole characters only.
            std::wstring text = ClipboardText(edit);
            while (!text.empty() && !Fits(edit, text, limit)) {
                text.pop_back();
                if (!text.empty() && IS_HIGH_SURROGATE(text.back())) text.pop_back();
            }
            SendMessageW(edit, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
            return 0;
        }
        case WM_NCDESTROY:
            RemoveWindowSubclass(edit, &LimitedEditProc, kSubclassId);
            break;
        default:
            break;
    }
    return DefSubclassProc(edit, message, wParam, lParam);
}

}  // namespace

void LimitEditToCp936Bytes(HWND edit, int maxBytes) {
    if (edit == nullptr || maxBytes < 0) return;
    SendMessageW(edit, EM_LIMITTEXT, static_cast<WPARAM>(maxBytes), 0);
    // A second call only updates the limit.
    SetWindowSubclass(edit, &LimitedEditProc, kSubclassId, static_cast<DWORD_PTR>(maxBytes));
}
