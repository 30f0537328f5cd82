// CDialog over USER32: a dialog made from the in-memory template, whose
// messages become the handlers' calls.
#include "Win32Dialog.h"

#include <algorithm>
#include <map>
#include <vector>

#include "BusyScope.h"
#include "EditLimit.h"
#include "QuestionBox.h"
#include "TemplateBuilder.h"
#include "text/WideText.h"
#include "app/Resources.h"

namespace {

struct LoadedIcon {
    HICON big;
    HICON small;
};

const LoadedIcon* IconOf(IconHandle icon) { return static_cast<const LoadedIcon*>(icon); }

HWND ChildWindow(HWND dialog, int id) { return dialog != nullptr ? GetDlgItem(dialog, id) : nullptr; }

bool IsClass(HWND window, const wchar_t* className) {
    wchar_t name[32] = {};
    GetClassNameW(window, name, 32);
    return lstrcmpiW(name, className) == 0;
}

bool IsMultiLineEdit(HWND control) {
    return IsClass(control, L"Edit") && (GetWindowLongW(control, GWL_STYLE) & ES_MULTILINE) != 0;
}

std::wstring WindowText(HWND window) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

// A multi-line edit shows only CR LF as a line break.
std::wstring WithCrLf(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')) out += L'\r';
        out += text[i];
    }
    return out;
}

std::wstring ComboItemText(HWND combo, int index) {
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR) return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(length));
    return text;
}

HWND ComboEdit(HWND combo) { return FindWindowExW(combo, nullptr, WC_EDITW, nullptr); }

// A listed port's device name comes first in its item: the closed field
// shows an item from its start, the caret there, whatever the system
// selected of it.
void ShowFromStart(HWND combo) {
    const HWND edit = ComboEdit(combo);
    if (edit == nullptr) return;
    DWORD start = 0, end = 0;
    SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    if (start == end) start = end = 0;
    SendMessageW(edit, EM_SETSEL, end, start);  // the anchor at the end, the caret at the start
    SendMessageW(edit, EM_SCROLLCARET, 0, 0);
}

// The dropped list as wide as its widest item, measured with the combo's
// font, up to the screen's width; never narrower than the combo.
void FitDroppedWidth(HWND combo) {
    const HDC dc = GetDC(combo);
    const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(combo, WM_GETFONT, 0, 0)));
    LONG widest = 0;
    const int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        const std::wstring text = ComboItemText(combo, i);
        SIZE extent{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
        widest = std::max(widest, extent.cx);
    }
    SelectObject(dc, old);
    ReleaseDC(combo, dc);
    // The list's border, its items' margins and a scroll bar.
    const int room = 2 * GetSystemMetrics(SM_CXEDGE) + 8 + GetSystemMetrics(SM_CXVSCROLL);
    RECT frame{};
    GetWindowRect(combo, &frame);
    const int width = std::min<int>(GetSystemMetrics(SM_CXSCREEN), std::max<int>(frame.right - frame.left, widest + room));
    SendMessageW(combo, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(width), 0);
}

// The wheel changes a combo while it has the focus and the pointer is over
// it, as in the Qt window: one the pointer merely passes over (where the
// system may send it the wheel) keeps its item, and so does the focused one
// while the wheel is turned elsewhere.
LRESULT CALLBACK WheelOnlyWithFocus(HWND combo, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    if (message == WM_MOUSEWHEEL) {
        const HWND focus = GetFocus();
        const POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};  // the screen's
        RECT area{};
        GetWindowRect(combo, &area);
        if ((focus != combo && !IsChild(combo, focus)) || !PtInRect(&area, at)) return 0;
    }
    return DefSubclassProc(combo, message, wParam, lParam);
}

// The wheel reaches the focused window, a combo's edit field, which keeps
// it (it only scrolls lines): its combo takes it.
LRESULT CALLBACK WheelToCombo(HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    if (message == WM_MOUSEWHEEL) return SendMessageW(GetParent(edit), message, wParam, lParam);
    return DefSubclassProc(edit, message, wParam, lParam);
}

// Posted to a dialog once a combo's selection change has been handled and
// the system has put the item into its edit field: wParam is the combo's id.
constexpr UINT kShowComboStart = WM_APP + 1;
// Posted to a dialog whose handlers asked for message boxes before it was
// on screen (at start): they follow once it is.
constexpr UINT kShowPendingBoxes = WM_APP + 2;

}  // namespace

void CentreOn(HWND window, HWND owner) {
    RECT area{};
    if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner))
        GetWindowRect(owner, &area);
    else
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    RECT own{};
    GetWindowRect(window, &own);
    const int width = own.right - own.left;
    const int height = own.bottom - own.top;
    const int x = std::max(0L, area.left + (area.right - area.left - width) / 2);
    const int y = std::max(0L, area.top + (area.bottom - area.top - height) / 2);
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The window of one dialog: its dialog procedure calls the dialog's
// handlers; what a handler runs for a click or a selection runs in a
// BusyScope.
struct CDialog::Native {
    explicit Native(CDialog* owner) : m_pOwner(owner) {}

    static std::vector<Native*>& Live() {
        static std::vector<Native*> dialogs;  // oldest first
        return dialogs;
    }

    static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_INITDIALOG) {
            auto* self = reinterpret_cast<Native*>(lParam);
            SetWindowLongPtrW(window, DWLP_USER, lParam);
            self->m_hWnd = window;
            Live().push_back(self);
            return self->InitDialog() ? TRUE : FALSE;
        }
        auto* self = reinterpret_cast<Native*>(GetWindowLongPtrW(window, DWLP_USER));
        if (self == nullptr) return FALSE;
        return self->Handle(message, wParam, lParam);
    }

    bool InitDialog() {
        CentreOn(m_hWnd, GetWindow(m_hWnd, GW_OWNER));
        for (HWND child = GetWindow(m_hWnd, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
            if (!IsClass(child, WC_COMBOBOXW)) continue;
            SetWindowSubclass(child, &WheelOnlyWithFocus, 0, 0);
            if (const HWND edit = ComboEdit(child)) SetWindowSubclass(edit, &WheelToCombo, 0, 0);
        }
        // True: the system puts the focus on the first tab stop and selects
        // an edit's text.
        return m_pOwner->OnInitDialog();
    }

    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_COMMAND:
                return Command(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
            case WM_SYSCOMMAND:
                m_pOwner->OnSysCommand(static_cast<unsigned>(wParam), static_cast<intptr_t>(lParam));
                return TRUE;
            case WM_HELP:
                if (!BusyScope::InHandler()) m_pOwner->OnHelp();
                return TRUE;
            case WM_PAINT: {
                PAINTSTRUCT paint;
                m_hPaintDC = BeginPaint(m_hWnd, &paint);
                m_pOwner->OnPaint();
                EndPaint(m_hWnd, &paint);
                m_hPaintDC = nullptr;
                return TRUE;
            }
            case kShowComboStart:
                ShowFromStart(GetDlgItem(m_hWnd, static_cast<int>(wParam)));
                return TRUE;
            case kShowPendingBoxes: {
                // A modal dialog would show itself only once its queue is
                // empty: the boxes are over it, not before it.
                if (!IsWindowVisible(m_hWnd)) ShowWindow(m_hWnd, SW_SHOWNORMAL);
                std::vector<std::string> texts;
                texts.swap(m_pendingBoxes);
                for (const std::string& text : texts) m_pOwner->MessageBox(text);
                return TRUE;
            }
            case WM_QUERYDRAGICON: {
                const LoadedIcon* icon = IconOf(m_pOwner->OnQueryDragIcon());
                return icon != nullptr ? reinterpret_cast<INT_PTR>(icon->big) : FALSE;
            }
            case WM_SETCURSOR:
                if (!BusyScope::ShowsBusy()) return FALSE;
                SetCursor(LoadCursorW(nullptr, IDC_WAIT));
                SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, TRUE);
                return TRUE;
            case WM_NCDESTROY: {
                std::vector<Native*>& live = Live();
                live.erase(std::remove(live.begin(), live.end(), this), live.end());
                m_hWnd = nullptr;
                return FALSE;
            }
            default:
                return FALSE;
        }
    }

    INT_PTR Command(int id, int notifyCode, HWND control) {
        if (notifyCode == CBN_KILLFOCUS && control != nullptr && IsClass(control, WC_COMBOBOXW)) {
            // The combo's edit field keeps its selection shown (the system
            // makes it so): a combo the focus has left shows no highlight.
            if (const HWND edit = ComboEdit(control)) SendMessageW(edit, EM_SETSEL, 0, 0);
            return TRUE;
        }
        // Nothing starts inside a handler: not a second one, not the end
        // of the dialog while the port is in use.
        if (BusyScope::InHandler()) return TRUE;
        if (id == IDOK || id == IDCANCEL) {
            // They may ask, then talk to the module: as a handler does.
            BusyScope scope(m_hWnd);
            if (id == IDOK)
                m_pOwner->OnOK();
            else
                m_pOwner->OnCancel();
            return TRUE;
        }
        if (control == nullptr) return FALSE;  // no menu or accelerator of ours
        const bool combo = IsClass(control, WC_COMBOBOXW);
        if (combo && notifyCode == CBN_DROPDOWN) {
            m_pOwner->OnCommand(id, notifyCode);  // may refill the list
            FitDroppedWidth(control);
            return TRUE;
        }
        if (combo && notifyCode == CBN_SELCHANGE && SendMessageW(control, CB_GETDROPPEDSTATE, 0, 0) != 0) {
            // Arrows moving through the dropped list: the choice is made
            // when it closes. A handler now would disable the dialog, and
            // the list would close under the user's keys.
            m_nChangedWhileDropped = id;
            return TRUE;
        }
        if (combo && notifyCode == CBN_CLOSEUP) {
            if (m_nChangedWhileDropped != id) return FALSE;
            notifyCode = CBN_SELCHANGE;
        }
        const bool click = notifyCode == BN_CLICKED && IsClass(control, WC_BUTTONW);
        const bool selection = notifyCode == CBN_SELCHANGE && combo;
        if (!click && !selection) return FALSE;
        m_nChangedWhileDropped = 0;
        {
            BusyScope scope(m_hWnd);
            m_nChoosingCombo = selection ? id : 0;
            m_pOwner->OnCommand(id, notifyCode);
            m_nChoosingCombo = 0;
        }
        if (selection) PostMessageW(m_hWnd, kShowComboStart, static_cast<WPARAM>(id), 0);
        return TRUE;
    }

    CDialog* m_pOwner;
    HWND m_hWnd = nullptr;
    bool m_bModal = false;
    HDC m_hPaintDC = nullptr;  // during WM_PAINT only
    // The combo whose selection change a handler is running for: its edit
    // field still shows the item before.
    int m_nChoosingCombo = 0;
    // The combo whose selection arrows changed in its dropped list.
    int m_nChangedWhileDropped = 0;
    std::vector<uint16_t> m_template;
    // Boxes asked for before the dialog was on screen.
    std::vector<std::string> m_pendingBoxes;
};

HWND DialogWindowOf(const CDialog& dialog) {
    return dialog.NativeWindow() != nullptr ? dialog.NativeWindow()->m_hWnd : nullptr;
}

HWND NewestDialogShown() {
    const std::vector<CDialog::Native*>& live = CDialog::Native::Live();
    for (auto it = live.rbegin(); it != live.rend(); ++it)
        if (IsWindowVisible((*it)->m_hWnd)) return (*it)->m_hWnd;
    return nullptr;
}

HWND OwnerWindowFor(const CDialog* dialog) {
    const HWND own = dialog != nullptr ? DialogWindowOf(*dialog) : nullptr;
    return own != nullptr ? own : NewestDialogShown();
}

IconHandle LoadIconResource(int resourceId) {
    static std::map<int, LoadedIcon> loaded;
    auto it = loaded.find(resourceId);
    if (it == loaded.end()) {
        const HINSTANCE module = GetModuleHandleW(nullptr);
        auto load = [module, resourceId](int width, int height) {
            return static_cast<HICON>(
                LoadImageW(module, MAKEINTRESOURCEW(resourceId), IMAGE_ICON, width, height, LR_SHARED));
        };
        const LoadedIcon icon{load(GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON)),
                              load(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON))};
        if (icon.big == nullptr) return nullptr;
        it = loaded.emplace(resourceId, icon).first;
    }
    return &it->second;
}

CDialog::CDialog(int templateId, CDialog* pParent) : m_nTemplateId(templateId), m_pParent(pParent) {}

CDialog::~CDialog() {
    if (m_pNative != nullptr && m_pNative->m_hWnd != nullptr) DestroyWindow(m_pNative->m_hWnd);
}

int CDialog::DoModal() {
    const DialogTemplate* dialogTemplate = FindDialogTemplate(m_nTemplateId);
    if (dialogTemplate == nullptr) return IDCANCEL;
    m_pNative = std::make_unique<Native>(this);
    m_pNative->m_bModal = true;
    m_pNative->m_template = BuildDialogTemplate(*dialogTemplate);
    const INT_PTR result = DialogBoxIndirectParamW(
        GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(m_pNative->m_template.data()),
        OwnerWindowFor(m_pParent), &Native::Procedure, reinterpret_cast<LPARAM>(m_pNative.get()));
    return result == -1 ? IDCANCEL : static_cast<int>(result);
}

bool CDialog::Create() {
    if (m_pNative == nullptr) {
        const DialogTemplate* dialogTemplate = FindDialogTemplate(m_nTemplateId);
        if (dialogTemplate == nullptr) return false;
        m_pNative = std::make_unique<Native>(this);
        m_pNative->m_template = BuildDialogTemplate(*dialogTemplate);
        const HWND window = CreateDialogIndirectParamW(
            GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(m_pNative->m_template.data()),
            OwnerWindowFor(m_pParent), &Native::Procedure, reinterpret_cast<LPARAM>(m_pNative.get()));
        if (window == nullptr) return false;
    }
    ShowWindow(m_pNative->m_hWnd, SW_SHOW);
    return true;
}

void CDialog::EndDialog(int result) {
    if (m_pNative == nullptr || m_pNative->m_hWnd == nullptr) return;
    if (m_pNative->m_bModal)
        ::EndDialog(m_pNative->m_hWnd, result);
    else
        ShowWindow(m_pNative->m_hWnd, SW_HIDE);
}

std::string CDialog::GetDlgItemText(int id) const {
    const HWND control = ChildWindow(DialogWindowOf(*this), id);
    return control != nullptr ? Narrow(WindowText(control)) : std::string();
}

void CDialog::SetDlgItemText(int id, const std::string& text) {
    const HWND control = ChildWindow(DialogWindowOf(*this), id);
    if (control == nullptr) return;
    std::wstring value = Widen(text);
    if (IsMultiLineEdit(control)) value = WithCrLf(value);
    // The same text again leaves the caret and selection alone.
    if (WindowText(control) != value) SetWindowTextW(control, value.c_str());
}

void CDialog::LimitEditText(int id, int maxBytes) {
    const HWND control = ChildWindow(DialogWindowOf(*this), id);
    if (control != nullptr && IsClass(control, L"Edit")) LimitEditToCp936Bytes(control, maxBytes);
}

void CDialog::GotoDlgCtrl(int id) {
    const HWND control = ChildWindow(DialogWindowOf(*this), id);
    if (control == nullptr) return;
    if (BusyScope::InHandler())
        BusyScope::FocusWhenDone(control);
    else
        SendMessageW(DialogWindowOf(*this), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

bool CDialog::HasFocus(int id) const {
    const HWND control = ChildWindow(DialogWindowOf(*this), id);
    const HWND focus = GetFocus();
    return control != nullptr && focus != nullptr && (focus == control || IsChild(control, focus));
}

namespace {

HWND Combo(const CDialog& dialog, int id) { return ChildWindow(DialogWindowOf(dialog), id); }

}  // namespace

void CDialog::ComboResetContent(int id) { SendMessageW(Combo(*this, id), CB_RESETCONTENT, 0, 0); }

int CDialog::ComboAddString(int id, const std::string& text) {
    const std::wstring item = Widen(text);
    return static_cast<int>(SendMessageW(Combo(*this, id), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str())));
}

int CDialog::ComboGetCount(int id) const {
    return static_cast<int>(SendMessageW(Combo(*this, id), CB_GETCOUNT, 0, 0));
}

std::string CDialog::ComboGetLBText(int id, int index) const { return Narrow(ComboItemText(Combo(*this, id), index)); }

int CDialog::ComboGetCurSel(int id) const {
    const HWND combo = Combo(*this, id);
    const int selected = static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
    // While the user's choice is being handled the system has not yet put
    // the item into the edit field: the list's selection is the choice.
    if (m_pNative != nullptr && m_pNative->m_nChoosingCombo == id) return selected;
    const std::wstring shown = WindowText(combo);
    if (selected >= 0 && ComboItemText(combo, selected) == shown) return selected;
    // Text typed into the edit field selects an item only when it is that
    // item's exactly (the system's search ignores case).
    const int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i)
        if (ComboItemText(combo, i) == shown) return i;
    return -1;
}

void CDialog::ComboSetCurSel(int id, int index) {
    const HWND combo = Combo(*this, id);
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    const std::wstring text = index >= 0 ? ComboItemText(combo, index) : std::wstring();
    if (WindowText(combo) != text) SetWindowTextW(combo, text.c_str());
    ShowFromStart(combo);
}

void CDialog::MessageBox(const std::string& text) {
    const HWND own = DialogWindowOf(*this);
    if (own != nullptr && !IsWindowVisible(own)) {
        // Shown now, the box would stand alone before the dialog appears.
        if (m_pNative->m_pendingBoxes.empty()) PostMessageW(own, kShowPendingBoxes, 0, 0);
        m_pNative->m_pendingBoxes.push_back(text);
        return;
    }
    const HWND owner = OwnerWindowFor(this);
    BusyScope::ModalPause pause;
    MessageBoxW(owner, Widen(text).c_str(), Widen(kApplicationName).c_str(), MB_OK);
}

int CDialog::AskQuestion(const std::string& text, const std::vector<std::string>& buttons, int defaultButton) {
    const HWND owner = OwnerWindowFor(this);
    BusyScope::ModalPause pause;
    return AskInQuestionBox(owner, text, buttons, defaultButton);
}

bool CDialog::HasSystemMenu() const {
    const HWND window = DialogWindowOf(*this);
    return window != nullptr && GetSystemMenu(window, FALSE) != nullptr;
}

void CDialog::AppendSystemMenuSeparator() {
    AppendMenuW(GetSystemMenu(DialogWindowOf(*this), FALSE), MF_SEPARATOR, 0, nullptr);
}

void CDialog::AppendSystemMenuItem(unsigned id, const std::string& text) {
    AppendMenuW(GetSystemMenu(DialogWindowOf(*this), FALSE), MF_STRING, id, Widen(text).c_str());
}

void CDialog::SetIcon(IconHandle icon, bool big) {
    const LoadedIcon* loaded = IconOf(icon);
    const HICON handle = loaded == nullptr ? nullptr : big ? loaded->big : loaded->small;
    SendMessageW(DialogWindowOf(*this), WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(handle));
}

bool CDialog::IsIconic() const {
    const HWND window = DialogWindowOf(*this);
    return window != nullptr && ::IsIconic(window);
}

int CDialog::ClientWidth() const {
    RECT client{};
    GetClientRect(DialogWindowOf(*this), &client);
    return client.right - client.left;
}

int CDialog::ClientHeight() const {
    RECT client{};
    GetClientRect(DialogWindowOf(*this), &client);
    return client.bottom - client.top;
}

int CDialog::SystemIconWidth() { return GetSystemMetrics(SM_CXICON); }
int CDialog::SystemIconHeight() { return GetSystemMetrics(SM_CYICON); }

void CDialog::DrawIconAt(int x, int y, IconHandle icon) {
    const HWND window = DialogWindowOf(*this);
    const LoadedIcon* loaded = IconOf(icon);
    if (window == nullptr || loaded == nullptr) return;
    const bool painting = m_pNative->m_hPaintDC != nullptr;
    const HDC dc = painting ? m_pNative->m_hPaintDC : GetDC(window);
    SendMessageW(window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    DrawIcon(dc, x, y, loaded->big);
    if (!painting) ReleaseDC(window, dc);
}

// A dialog paints nothing of its own: BeginPaint had its background
// erased, and the controls paint themselves.
void CDialog::DefaultPaint() {}

void CDialog::DefaultSysCommand(unsigned nID, intptr_t lParam) {
    const HWND window = DialogWindowOf(*this);
    if (window != nullptr) DefWindowProcW(window, WM_SYSCOMMAND, nID, lParam);
}

void KeepWindowPainted() { BusyScope::KeepPainted(); }

bool EndRequested() { return false; }
