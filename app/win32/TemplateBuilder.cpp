#include "TemplateBuilder.h"

#include <string>

#include "text/WideText.h"
#include "Win32Api.h"
#include "app/Resources.h"

namespace {

// The system's predefined control classes, by ordinal.
constexpr uint16_t kButtonClass = 0x0080;
constexpr uint16_t kEditClass = 0x0081;
constexpr uint16_t kStaticClass = 0x0082;
constexpr uint16_t kComboBoxClass = 0x0085;

struct ControlStyle {
    uint16_t windowClass;
    DWORD style;
};

ControlStyle StyleOf(ControlKind kind) {
    // Each control a group of its own: the arrow keys move the focus within
    // a group, and none may carry it onto a label.
    constexpr DWORD kChild = WS_CHILD | WS_VISIBLE | WS_GROUP;
    switch (kind) {
        case ControlKind::kGroupBox:
            return {kButtonClass, kChild | BS_GROUPBOX};
        case ControlKind::kLabel:
        case ControlKind::kStatus:
            return {kStaticClass, kChild | SS_LEFT | SS_NOPREFIX};
        case ControlKind::kIcon:
            return {kStaticClass, kChild | SS_ICON};
        case ControlKind::kEdit:
            return {kEditClass, kChild | WS_BORDER | WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL};
        case ControlKind::kMultiLineEdit:
            // Enter breaks the line: text being typed is never the dialog's
            // to end.
            return {kEditClass, kChild | WS_BORDER | WS_TABSTOP | WS_VSCROLL | ES_LEFT | ES_MULTILINE |
                                    ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_WANTRETURN};
        case ControlKind::kButton:
            return {kButtonClass, kChild | WS_TABSTOP | BS_PUSHBUTTON};
        case ControlKind::kDefaultButton:
            return {kButtonClass, kChild | WS_TABSTOP | BS_DEFPUSHBUTTON};
        case ControlKind::kDropDownCombo:
            // Not sorted: the list keeps the order the handlers give.
            return {kComboBoxClass, kChild | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN};
    }
    return {kStaticClass, kChild};
}

class TemplateWriter {
public:
    void Word(uint16_t value) { m_words.push_back(value); }
    void Dword(uint32_t value) {
        Word(static_cast<uint16_t>(value & 0xFFFF));
        Word(static_cast<uint16_t>(value >> 16));
    }
    void Text(const char* utf8) {
        for (wchar_t c : Widen(utf8)) Word(static_cast<uint16_t>(c));
        Word(0);
    }
    void Ordinal(uint16_t value) {
        Word(0xFFFF);
        Word(value);
    }
    void AlignToDword() {
        if (m_words.size() % 2 != 0) Word(0);
    }
    std::vector<uint16_t> Take() { return std::move(m_words); }

private:
    std::vector<uint16_t> m_words;
};

}  // namespace

std::vector<uint16_t> BuildDialogTemplate(const DialogTemplate& dialogTemplate) {
    TemplateWriter out;
    out.Word(1);       // dlgVer
    out.Word(0xFFFF);  // signature: DLGTEMPLATEEX
    out.Dword(0);      // help id
    out.Dword(dialogTemplate.onTaskBar ? WS_EX_APPWINDOW : 0);
    out.Dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT);
    out.Word(static_cast<uint16_t>(dialogTemplate.controlCount));
    out.Word(0);  // x, y: placed when initialised
    out.Word(0);
    out.Word(static_cast<uint16_t>(dialogTemplate.cx));
    out.Word(static_cast<uint16_t>(dialogTemplate.cy));
    out.Word(0);  // no menu
    out.Word(0);  // the system's dialog class
    out.Text(dialogTemplate.caption);
    out.Word(static_cast<uint16_t>(dialogTemplate.fontPoints));
    out.Word(FW_NORMAL);
    out.Word(static_cast<uint16_t>(GB2312_CHARSET << 8));  // not italic; the character set
    out.Text(dialogTemplate.fontFace);

    for (std::size_t i = 0; i < dialogTemplate.controlCount; ++i) {
        const ControlTemplate& control = dialogTemplate.controls[i];
        const ControlStyle style = StyleOf(control.kind);
        out.AlignToDword();
        out.Dword(0);  // help id
        out.Dword(0);  // extended style
        out.Dword(style.style);
        out.Word(static_cast<uint16_t>(control.x));
        out.Word(static_cast<uint16_t>(control.y));
        out.Word(static_cast<uint16_t>(control.cx));
        const int height = control.kind == ControlKind::kDropDownCombo ? control.cy + kComboListHeight : control.cy;
        out.Word(static_cast<uint16_t>(height));
        out.Dword(static_cast<uint32_t>(control.id));
        out.Ordinal(style.windowClass);
        if (control.kind == ControlKind::kIcon)
            out.Ordinal(IDR_MAINFRAME);
        else
            out.Text(control.text);
        out.Word(0);  // no creation data
    }
    return out.Take();
}
