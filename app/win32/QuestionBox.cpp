#include "QuestionBox.h"

#include <algorithm>

#include "TemplateBuilder.h"
#include "Win32Dialog.h"
#include "app/Resources.h"
#include "text/WideText.h"

namespace {

constexpr int kTextId = 0xFFFF;  // where a message box keeps its text
constexpr int kFirstButtonId = 100;

// In dialog units, as a message box has them.
constexpr int kMargin = 7;
constexpr int kGap = 4;
constexpr int kButtonHeight = 14;
constexpr int kMinButtonWidth = 50;
constexpr int kMaxTextWidth = 240;

struct Question {
    std::wstring text;
    int buttonCount;
    int defaultButton;
};

int TextWidth(HDC dc, const std::wstring& text) {
    SIZE extent{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    return extent.cx;
}

// The text wrapped within kMaxTextWidth, the buttons in a row below it,
// centred; the window sized to hold them.
void LayOut(HWND box, const Question& question) {
    RECT units{0, 0, 4, 8};
    MapDialogRect(box, &units);
    auto across = [&units](int du) { return MulDiv(du, units.right, 4); };
    auto down = [&units](int du) { return MulDiv(du, units.bottom, 8); };

    const HWND label = GetDlgItem(box, kTextId);
    const HDC dc = GetDC(label);
    const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(box, WM_GETFONT, 0, 0)));
    RECT text{0, 0, across(kMaxTextWidth), 0};
    DrawTextW(dc, question.text.c_str(), -1, &text, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
    std::vector<int> widths;
    int row = 0;
    for (int i = 0; i < question.buttonCount; ++i) {
        const HWND button = GetDlgItem(box, kFirstButtonId + i);
        wchar_t caption[64] = {};
        GetWindowTextW(button, caption, 64);
        widths.push_back(std::max(across(kMinButtonWidth), TextWidth(dc, caption) + 2 * across(kMargin)));
        row += widths.back() + (i > 0 ? across(kGap) : 0);
    }
    SelectObject(dc, old);
    ReleaseDC(label, dc);

    const int clientWidth = std::max<int>(text.right, row) + 2 * across(kMargin);
    const int buttonsTop = down(kMargin) + text.bottom + down(kMargin);
    MoveWindow(label, across(kMargin), down(kMargin), clientWidth - 2 * across(kMargin), text.bottom, FALSE);
    int x = (clientWidth - row) / 2;
    for (int i = 0; i < question.buttonCount; ++i) {
        MoveWindow(GetDlgItem(box, kFirstButtonId + i), x, buttonsTop, widths[static_cast<size_t>(i)], down(kButtonHeight),
                   FALSE);
        x += widths[static_cast<size_t>(i)] + across(kGap);
    }
    RECT frame{0, 0, clientWidth, buttonsTop + down(kButtonHeight) + down(kMargin)};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongW(box, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongW(box, GWL_EXSTYLE)));
    SetWindowPos(box, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK Procedure(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        const auto* question = reinterpret_cast<const Question*>(lParam);
        SetWindowLongPtrW(box, DWLP_USER, lParam);
        LayOut(box, *question);
        CentreOn(box, GetWindow(box, GW_OWNER));
        const int defaultId = kFirstButtonId + question->defaultButton;
        SendMessageW(box, DM_SETDEFID, static_cast<WPARAM>(defaultId), 0);
        SetFocus(GetDlgItem(box, defaultId));
        return FALSE;  // the focus is set
    }
    if (message != WM_COMMAND) return FALSE;
    const auto* question = reinterpret_cast<const Question*>(GetWindowLongPtrW(box, DWLP_USER));
    if (question == nullptr) return FALSE;
    const int id = LOWORD(wParam);
    if (id == IDCANCEL) {
        EndDialog(box, question->buttonCount - 1);
    } else if (id == IDOK) {
        EndDialog(box, question->defaultButton);
    } else if (id >= kFirstButtonId && id < kFirstButtonId + question->buttonCount) {
        EndDialog(box, id - kFirstButtonId);
    } else {
        return FALSE;
    }
    return TRUE;
}

}  // namespace

int AskInQuestionBox(HWND owner, const std::string& text, const std::vector<std::string>& buttons, int defaultButton) {
    const int count = static_cast<int>(buttons.size());
    if (count == 0) return -1;
    Question question{Widen(text), count, std::clamp(defaultButton, 0, count - 1)};
    // Positions and sizes come with the text, in LayOut.
    std::vector<ControlTemplate> controls{{kTextId, ControlKind::kLabel, text.c_str(), 0, 0, 1, 1}};
    for (int i = 0; i < count; ++i) {
        controls.push_back({kFirstButtonId + i, i == question.defaultButton ? ControlKind::kDefaultButton : ControlKind::kButton,
                            buttons[static_cast<size_t>(i)].c_str(), 0, 0, 1, 1});
    }
    const DialogTemplate& main = MainDialogTemplate();
    const DialogTemplate box{0, kApplicationName, 100, 40, main.fontFace, main.fontPoints, false, controls.data(),
                             controls.size()};
    const std::vector<uint16_t> words = BuildDialogTemplate(box);
    const INT_PTR chosen = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(words.data()),
                                                   owner, &Procedure, reinterpret_cast<LPARAM>(&question));
    return chosen < 0 || chosen >= count ? count - 1 : static_cast<int>(chosen);
}
