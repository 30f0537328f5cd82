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

#include <cstdint>
#include <string>

class CComboBox;
class CDialog;

class CDataExchange {
public:
    CDataExchange(CDialog* dialog, bool saveAndValidate) : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}

    // Remembers the control a failure points at; its id.
    int PrepareCtrl(int id) {
        m_idLastControl = id;
        return id;
    }
    // Shows text (when not empty), puts the focus on the last prepared
    // control and ends the exchange.
    void Fail(const std::string& text);
    bool Failed() const { return m_bFailed; }

    CDialog* m_pDlgWnd;          // the dialog, owner of the messages
    bool m_bSaveAndValidate;     // true: controls into members
    bool m_bFailed = false;      // set by the first failing field
    int m_idLastControl = 0;     // 0: none prepared yet
};

void DDX_Control(CDataExchange* pDX, int id, CComboBox& combo);
void DDX_Text(CDataExchange* pDX, int id, std::string& value);
void DDX_Text(CDataExchange* pDX, int id, uint8_t& value);
// As above; written with at least `digits` digits, zeros in front ("05").
void DDX_Text(CDataExchange* pDX, int id, uint8_t& value, int digits);
void DDX_Text(CDataExchange* pDX, int id, int32_t& value);
void DDX_Text(CDataExchange* pDX, int id, uint32_t& value);

// At most maxBytes in code page 936. Writing sets the same limit on the
// last prepared edit, so typing cannot pass it.
void DDV_MaxChars(CDataExchange* pDX, const std::string& value, int maxBytes);
void DDV_MinMaxByte(CDataExchange* pDX, uint8_t value, uint8_t minValue, uint8_t maxValue);

// The framework's texts, shown by the calls above.
std::string ParseIntMessage();
std::string ParseUIntMessage();
std::string ParseByteMessage();
std::string RangeMessage(int minValue, int maxValue);
std::string StringSizeMessage(int maxBytes);

// Whole-number parsing as the exchange does it: blanks around the digits
// are allowed, nothing else. False leaves *value as it was.
bool ParseSigned(const std::string& text, long long minValue, long long maxValue, long long* value);
bool ParseUnsigned(const std::string& text, unsigned long long maxValue, unsigned long long* value);

#endif
