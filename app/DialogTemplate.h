// Dialog templates as data, in dialog units, the way a resource script
// lays them out; each dialog framework builds its window from them, so the
// layout has one source.
//
// A dialog unit is a quarter of the dialog font's average character width
// across and an eighth of its height down, so the layout keeps its
// proportions with whatever CJK font stands in for the template's.
#ifndef TOVREL_APP_DIALOGTEMPLATE_H
#define TOVREL_APP_DIALOGTEMPLATE_H

#include <cstddef>

enum class ControlKind {
    kGroupBox,
    kLabel,          // static text, left aligned, wraps, no prefix processing
    kStatus,         // static text a member shows its value in
    kIcon,           // the program's icon, 32 x 32
    kEdit,           // one line, border, scrolls horizontally, tab stop
    kMultiLineEdit,  // border, no wrapping (scrolls horizontally), vertical
                     // scroll bar, Enter breaks the line, tab stop
    kButton,         // push button, tab stop
    kDefaultButton,  // default push button, tab stop
    kDropDownCombo,  // drop-down list with an edit field, vertical scroll,
                     // no completion, tab stop
};

constexpr int kNoId = -1;

struct ControlTemplate {
    int id;            // kNoId for labels and group boxes
    ControlKind kind;
    const char* text;  // UTF-8
    int x, y, cx, cy;  // dialog units
};

struct DialogTemplate {
    int id;
    const char* caption;  // UTF-8
    int cx, cy;           // dialog units
    const char* fontFace; // UTF-8
    int fontPoints;
    bool onTaskBar;       // a window of its own on the task bar
    const ControlTemplate* controls;  // in tab order
    std::size_t controlCount;
};

// Whether the user can tab to a control of that kind.
bool TakesFocus(ControlKind kind);

#endif
