// Dialog templates as data, laid out in dialog units the way a resource
// script does, and built into Qt widgets.
//
// A dialog unit is a quarter of the font's average character width across
// and an eighth of its height down, so the layout keeps its proportions
// with whatever CJK font is installed. Every control with an id becomes a
// child of the dialog named "IDC_<id>" (tests and tools find it by that);
// labels and group boxes without an id are named "IDC_STATIC".
#ifndef TOVREL_APP_DIALOGTEMPLATE_H
#define TOVREL_APP_DIALOGTEMPLATE_H

#include <QFont>
#include <QIcon>
#include <QRect>
#include <QSize>
#include <QString>

#include <cstddef>

class QComboBox;
class QDialog;
class QWidget;

enum class ControlKind {
    kGroupBox,
    kLabel,          // static text, left aligned, wraps
    kStatus,         // static text a member shows its value in
    kIcon,           // the program's icon, 32 x 32
    kEdit,           // one line, border, scrolls horizontally
    kMultiLineEdit,  // no wrapping, vertical scroll bar; Enter goes to the dialog
    kButton,
    kDefaultButton,
    kDropDownCombo,  // drop-down list with an edit field, no completion
};

constexpr int kNoId = -1;

struct ControlTemplate {
    int id;            // kNoId for labels and group boxes
    ControlKind kind;
    const char* text;  // UTF-8
    int x, y, cx, cy;  // dialog units
};

struct DialogTemplate {
    const char* caption;  // UTF-8
    int cx, cy;           // dialog units
    const ControlTemplate* controls;
    std::size_t controlCount;
};

// 9-point 宋体 where installed, else the first installed CJK font.
QFont DialogFont();

// Average character width and height of the font, in pixels.
QSize DialogBaseUnits(const QFont& font);

// Dialog units to pixels with the given base units.
QRect MapDialogRect(const QRect& units, const QSize& baseUnits);

// Sets font, caption and fixed size and creates the controls, tab order
// as listed; icon controls show `icon`.
void BuildDialog(QDialog* dialog, const DialogTemplate& dialogTemplate, const QIcon& icon);

// The selection of a drop-down combo with an edit field: the item whose
// text the edit field shows, or -1 when it shows text that is no item.
int ComboCurSel(const QComboBox* combo);
// Selects an item; the edit field then shows its text.
void ComboSetCurSel(QComboBox* combo, int index);

// The control with that id, or null.
QWidget* DialogItem(const QWidget* dialog, int id);

QString ControlName(int id);

#endif
