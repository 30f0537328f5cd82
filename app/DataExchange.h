// Data exchange between a dialog's members and its controls.
//
// One CDataExchange carries one direction. Writing (members into controls)
// cannot fail. Reading (controls into members) stops at the first field
// that fails: that field's message is shown, the focus goes to its control
// and every DDX_/DDV_ call after it does nothing. A field whose text is not
// a whole number keeps its member's value; a field whose number is out of
// range has already stored the number when its range check fails.
#ifndef TOVREL_APP_DATAEXCHANGE_H
#define TOVREL_APP_DATAEXCHANGE_H

#include <QString>

#include <cstdint>

class QComboBox;
class QWidget;

class CDataExchange {
public:
    CDataExchange(QWidget* dialog, bool saveAndValidate) : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}

    // The control with that id; remembered as the one a failure points at.
    QWidget* PrepareCtrl(int id);
    // Shows text (when not empty), puts the focus on the last prepared
    // control and ends the exchange.
    void Fail(const QString& text);
    bool Failed() const { return m_bFailed; }

    QWidget* m_pDlgWnd;          // the dialog, owner of the messages
    bool m_bSaveAndValidate;     // true: controls into members
    bool m_bFailed = false;      // set by the first failing field
    QWidget* m_pLastControl = nullptr;
};

void DDX_Control(CDataExchange* pDX, int id, QComboBox*& combo);
void DDX_Text(CDataExchange* pDX, int id, QString& value);
void DDX_Text(CDataExchange* pDX, int id, uint8_t& value);
// As above; written with at least `digits` digits, zeros in front ("05").
void DDX_Text(CDataExchange* pDX, int id, uint8_t& value, int digits);
void DDX_Text(CDataExchange* pDX, int id, int32_t& value);
void DDX_Text(CDataExchange* pDX, int id, uint32_t& value);

// At most maxBytes in code page 936. Writing sets the same limit on the
// last prepared edit, so typing cannot pass it.
void DDV_MaxChars(CDataExchange* pDX, const QString& value, int maxBytes);
void DDV_MinMaxByte(CDataExchange* pDX, uint8_t value, uint8_t minValue, uint8_t maxValue);

// The framework's texts, shown by the calls above.
QString ParseIntMessage();
QString ParseUIntMessage();
QString ParseByteMessage();
QString RangeMessage(int minValue, int maxValue);
QString StringSizeMessage(int maxBytes);

// Whole-number parsing as the exchange does it: blanks around the digits
// are allowed, nothing else. False leaves *value as it was.
bool ParseSigned(const QString& text, long long minValue, long long maxValue, long long* value);
bool ParseUnsigned(const QString& text, unsigned long long maxValue, unsigned long long* value);

#endif
