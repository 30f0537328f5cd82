#include "DataExchange.h"

#include <cstdio>

#include "ComboBox.h"
#include "DialogFramework.h"
#include "text/Cp936.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Digits between optional blanks; a sign only where allowed.
bool SplitNumber(const std::string& text, bool allowMinus, bool* negative, unsigned long long limit,
                 unsigned long long* magnitude) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n && IsBlank(text[i])) ++i;
    *negative = false;
    if (i < n && (text[i] == '+' || (allowMinus && text[i] == '-'))) {
        *negative = text[i] == '-';
        ++i;
    }
    const size_t firstDigit = i;
    unsigned long long value = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
        if (value > limit) return false;
        ++i;
    }
    if (i == firstDigit) return false;
    while (i < n && IsBlank(text[i])) ++i;
    if (i != n) return false;
    *magnitude = value;
    return true;
}

std::string Padded(unsigned long long value, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*llu", digits, value);
    return text;
}

template <typename Number>
void ExchangeUnsigned(CDataExchange* pDX, int id, Number& value, unsigned long long maxValue,
                      const std::string& message, int digits = 1) {
    if (pDX->Failed()) return;
    pDX->PrepareCtrl(id);
    if (!pDX->m_bSaveAndValidate) {
        pDX->m_pDlgWnd->SetDlgItemText(id, Padded(value, digits));
        return;
    }
    unsigned long long parsed = 0;
    if (!ParseUnsigned(pDX->m_pDlgWnd->GetDlgItemText(id), maxValue, &parsed)) {
        pDX->Fail(message);
        return;
    }
    value = static_cast<Number>(parsed);
}

}  // namespace

void CDataExchange::Fail(const std::string& text) {
    if (!text.empty()) m_pDlgWnd->MessageBox(text);
    m_bFailed = true;
    if (m_idLastControl != 0) m_pDlgWnd->GotoDlgCtrl(m_idLastControl);
}

std::string ParseIntMessage() { return "请输入一个整数。"; }
std::string ParseUIntMessage() { return "请输入一个不小于 0 的整数。"; }
std::string ParseByteMessage() { return "请输入一个介于 0 和 255 之间的整数。"; }
std::string RangeMessage(int minValue, int maxValue) {
    return "请输入一个介于 " + std::to_string(minValue) + " 和 " + std::to_string(maxValue) + " 之间的整数。";
}
std::string StringSizeMessage(int maxBytes) {
    return "请输入不超过 " + std::to_string(maxBytes) + " 个字符（一个汉字算两个）。";
}

bool ParseSigned(const std::string& text, long long minValue, long long maxValue, long long* value) {
    bool negative = false;
    unsigned long long magnitude = 0;
    const unsigned long long limit = static_cast<unsigned long long>(maxValue) + 1;  // room for -max-1
    if (!SplitNumber(text, true, &negative, limit, &magnitude)) return false;
    const long long result = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    if (result < minValue || result > maxValue) return false;
    *value = result;
    return true;
}

bool ParseUnsigned(const std::string& text, unsigned long long maxValue, unsigned long long* value) {
    bool negative = false;
    unsigned long long magnitude = 0;
    if (!SplitNumber(text, false, &negative, maxValue, &magnitude)) return false;
    *value = magnitude;
    return true;
}

void DDX_Control(CDataExchange* pDX, int id, CComboBox& combo) {
    if (!combo.Attached()) combo.Attach(pDX->m_pDlgWnd, id);
}

void DDX_Text(CDataExchange* pDX, int id, std::string& value) {
    if (pDX->Failed()) return;
    pDX->PrepareCtrl(id);
    if (pDX->m_bSaveAndValidate)
        value = pDX->m_pDlgWnd->GetDlgItemText(id);
    else
        pDX->m_pDlgWnd->SetDlgItemText(id, value);
}

void DDX_Text(CDataExchange* pDX, int id, uint8_t& value) { ExchangeUnsigned(pDX, id, value, 255, ParseByteMessage()); }

void DDX_Text(CDataExchange* pDX, int id, uint8_t& value, int digits) {
    ExchangeUnsigned(pDX, id, value, 255, ParseByteMessage(), digits);
}

void DDX_Text(CDataExchange* pDX, int id, uint32_t& value) {
    ExchangeUnsigned(pDX, id, value, 0xFFFFFFFFull, ParseUIntMessage());
}

void DDX_Text(CDataExchange* pDX, int id, int32_t& value) {
    if (pDX->Failed()) return;
    pDX->PrepareCtrl(id);
    if (!pDX->m_bSaveAndValidate) {
        pDX->m_pDlgWnd->SetDlgItemText(id, std::to_string(value));
        return;
    }
    long long parsed = 0;
    if (!ParseSigned(pDX->m_pDlgWnd->GetDlgItemText(id), INT32_MIN, INT32_MAX, &parsed)) {
        pDX->Fail(ParseIntMessage());
        return;
    }
    value = static_cast<int32_t>(parsed);
}

void DDV_MaxChars(CDataExchange* pDX, const std::string& value, int maxBytes) {
    if (pDX->Failed()) return;
    if (!pDX->m_bSaveAndValidate) {
        if (pDX->m_idLastControl != 0) pDX->m_pDlgWnd->LimitEditText(pDX->m_idLastControl, maxBytes);
        return;
    }
    if (Cp936ByteLength(value) > static_cast<size_t>(maxBytes)) pDX->Fail(StringSizeMessage(maxBytes));
}

void DDV_MinMaxByte(CDataExchange* pDX, uint8_t value, uint8_t minValue, uint8_t maxValue) {
    if (pDX->Failed() || !pDX->m_bSaveAndValidate) return;
    if (value < minValue || value > maxValue) pDX->Fail(RangeMessage(minValue, maxValue));
}
