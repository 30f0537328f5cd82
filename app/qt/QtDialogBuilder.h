// A dialog template built into Qt widgets.
//
// Every control with an id becomes a child of the dialog named "IDC_<id>"
// (tests and tools find it by that); labels and group boxes without an id
// are named "IDC_STATIC". The font is 9-point 宋体 where installed, else the
// first installed CJK font; dialog units follow that font's metrics.
#ifndef TOVREL_APP_QT_QTDIALOGBUILDER_H
#define TOVREL_APP_QT_QTDIALOGBUILDER_H

#include <QFont>
#include <QIcon>
#include <QRect>
#include <QSize>
#include <QString>

#include <functional>

#include "app/DialogTemplate.h"

class QComboBox;
class QDialog;
class QWidget;

QFont DialogFont(const DialogTemplate& dialogTemplate);

// Average character width and height of the font, in pixels.
QSize DialogBaseUnits(const QFont& font);

// Dialog units to pixels with the given base units.
QRect MapDialogRect(const QRect& units, const QSize& baseUnits);

// Sets font, caption and fixed size and creates the controls, tab order
// as listed; icon controls show `icon`. A drop-down combo calls
// onDropDown(its id) just before its list opens.
void BuildDialog(QDialog* dialog, const DialogTemplate& dialogTemplate, const QIcon& icon,
                 const std::function<void(int)>& onDropDown);

// The control with that id, or null.
QWidget* DialogItem(const QWidget* dialog, int id);

QString ControlName(int id);

// The selection of a drop-down combo with an edit field: the item whose
// text the edit field shows, or -1 when it shows text that is no item.
int ComboCurSel(const QComboBox* combo);
// Selects an item; the edit field then shows its text, from its start.
void ComboSetCurSel(QComboBox* combo, int index);
// The edit field scrolled to its start.
void ShowComboTextFromStart(QComboBox* combo);

#endif
