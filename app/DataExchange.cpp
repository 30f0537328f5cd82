#include "DataExchange.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QValidator>

#include "Cp936Text.h"
#include "DialogTemplate.h"
#include "MessageBox.h"

namespace {

// Caps an edit at a number of code-page-936 bytes, as the edit's own limit
// does for a program working in that code page.
class Cp936LengthValidator : public QValidator {
public:
    Cp936LengthValidator(int maxBytes, QObject* parent) : QValidator(parent), m_maxBytes(maxBytes) {}
    State validate(QString& input, int&) const override {
        return Cp936Length(input) <= m_maxBytes ? Acceptable : Invalid;
    }

private:
    int m_maxBytes;
};

QString WindowText(const QWidget* control) {
    if (const auto* edit = qobject_cast<const QLineEdit*>(control)) return edit->text();
    if (const auto* label = qobject_cast<const QLabel*>(control)) return label->text();
    if (const auto* text = qobject_cast<const QPlainTextEdit*>(control)) {
        // The member keeps the line breaks the module stores: CR LF.
        QString plain = text->toPlainText();
        return plain.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    }
    if (const auto* combo = qobject_cast<const QComboBox*>(control)) return combo->currentText();
    return {};
}

void SetWindowText(QWidget* control, const QString& value) {
    if (auto* edit = qobject_cast<QLineEdit*>(control)) {
        if (edit->text() != value) edit->setText(value);
    } else if (auto* label = qobject_cast<QLabel*>(control)) {
        label->setText(value);
    } else if (auto* text = qobject_cast<QPlainTextEdit*>(control)) {
        QString plain = value;
        plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        if (text->toPlainText() != plain) text->setPlainText(plain);
    }
}

bool IsBlank(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); }

// Digits between optional blanks; a sign only where allowed.
bool SplitNumber(const QString& text, bool allowMinus, bool* negative, unsigned long long limit,
                 unsigned long long* magnitude) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && IsBlank(text[i])) ++i;
    *negative = false;
    if (i < n && (text[i] == QLatin1Char('+') || (allowMinus && text[i] == QLatin1Char('-')))) {
        *negative = text[i] == QLatin1Char('-');
        ++i;
    }
    const qsizetype firstDigit = i;
    unsigned long long value = 0;
    while (i < n && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9')) {
        value = value * 10 + static_cast<unsigned>(text[i].unicode() - '0');
        if (value > limit) return false;
        ++i;
    }
    if (i == firstDigit) return false;
    while (i < n && IsBlank(text[i])) ++i;
    if (i != n) return false;
    *magnitude = value;
    return true;
}

template <typename Number>
void ExchangeUnsigned(CDataExchange* pDX, int id, Number& value, unsigned long long maxValue, const QString& message,
                      int digits = 1) {
    if (pDX->Failed()) return;
    QWidget* control = pDX->PrepareCtrl(id);
    if (!pDX->m_bSaveAndValidate) {
        SetWindowText(control, QStringLiteral("%1").arg(static_cast<qulonglong>(value), digits, 10, QLatin1Char('0')));
        return;
    }
    unsigned long long parsed = 0;
    if (!ParseUnsigned(WindowText(control), maxValue, &parsed)) {
        pDX->Fail(message);
        return;
    }
    value = static_cast<Number>(parsed);
}

}  // namespace

QWidget* CDataExchange::PrepareCtrl(int id) {
    m_pLastControl = DialogItem(m_pDlgWnd, id);
    Q_ASSERT(m_pLastControl != nullptr);
    return m_pLastControl;
}

void CDataExchange::Fail(const QString& text) {
    if (!text.isEmpty()) ShowMessageBox(m_pDlgWnd, text);
    m_bFailed = true;
    if (m_pLastControl == nullptr) return;
    m_pLastControl->setFocus(Qt::OtherFocusReason);
    if (auto* edit = qobject_cast<QLineEdit*>(m_pLastControl)) edit->selectAll();
}

QString ParseIntMessage() { return QStringLiteral("请输入一个整数。"); }
QString ParseUIntMessage() { return QStringLiteral("请输入一个不小于 0 的整数。"); }
QString ParseByteMessage() { return QStringLiteral("请输入一个介于 0 和 255 之间的整数。"); }
QString RangeMessage(int minValue, int maxValue) {
    return QStringLiteral("请输入一个介于 %1 和 %2 之间的整数。").arg(minValue).arg(maxValue);
}
QString StringSizeMessage(int maxBytes) {
    return QStringLiteral("请输入不超过 %1 个字符（一个汉字算两个）。").arg(maxBytes);
}

bool ParseSigned(const QString& text, long long minValue, long long maxValue, long long* value) {
    bool negative = false;
    unsigned long long magnitude = 0;
    const unsigned long long limit = static_cast<unsigned long long>(maxValue) + 1;  // room for -max-1
    if (!SplitNumber(text, true, &negative, limit, &magnitude)) return false;
    const long long result = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    if (result < minValue || result > maxValue) return false;
    *value = result;
    return true;
}

bool ParseUnsigned(const QString& text, unsigned long long maxValue, unsigned long long* value) {
    bool negative = false;
    unsigned long long magnitude = 0;
    if (!SplitNumber(text, false, &negative, maxValue, &magnitude)) return false;
    *value = magnitude;
    return true;
}

void DDX_Control(CDataExchange* pDX, int id, QComboBox*& combo) {
    if (combo == nullptr) combo = qobject_cast<QComboBox*>(DialogItem(pDX->m_pDlgWnd, id));
}

void DDX_Text(CDataExchange* pDX, int id, QString& value) {
    if (pDX->Failed()) return;
    QWidget* control = pDX->PrepareCtrl(id);
    if (pDX->m_bSaveAndValidate)
        value = WindowText(control);
    else
        SetWindowText(control, value);
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
    QWidget* control = pDX->PrepareCtrl(id);
    if (!pDX->m_bSaveAndValidate) {
        SetWindowText(control, QString::number(value));
        return;
    }
    long long parsed = 0;
    if (!ParseSigned(WindowText(control), INT32_MIN, INT32_MAX, &parsed)) {
        pDX->Fail(ParseIntMessage());
        return;
    }
    value = static_cast<int32_t>(parsed);
}

void DDV_MaxChars(CDataExchange* pDX, const QString& value, int maxBytes) {
    if (pDX->Failed()) return;
    if (!pDX->m_bSaveAndValidate) {
        if (auto* edit = qobject_cast<QLineEdit*>(pDX->m_pLastControl); edit != nullptr && edit->validator() == nullptr)
            edit->setValidator(new Cp936LengthValidator(maxBytes, edit));
        return;
    }
    if (Cp936Length(value) > maxBytes) pDX->Fail(StringSizeMessage(maxBytes));
}

void DDV_MinMaxByte(CDataExchange* pDX, uint8_t value, uint8_t minValue, uint8_t maxValue) {
    if (pDX->Failed() || !pDX->m_bSaveAndValidate) return;
    if (value < minValue || value > maxValue) pDX->Fail(RangeMessage(minValue, maxValue));
}
