#include "platform/DataExchange.h"

#include "platform/DialogTemplate.h"
#include "platform/MessageBox.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QWidget>

QString PromptInteger() {
    return QCoreApplication::translate("DataExchange", "请输入一个整数。");
}
QString PromptUnsigned() {
    return QCoreApplication::translate("DataExchange", "请输入一个正整数。");
}
QString PromptRange(long long min, long long max) {
    return QCoreApplication::translate("DataExchange", "请输入一个介于 %1 和 %2 之间的整数。")
        .arg(min)
        .arg(max);
}

namespace {
// Sign and magnitude of a whole field; nullopt when it is not one integer.
struct Parsed {
    bool negative;
    std::uint64_t magnitude; // saturates above 2^33
};

std::optional<Parsed> ParseField(const QString& text) {
    const QString t = text.trimmed();
    int i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) {
        negative = t[i] == u'-';
        ++i;
    }
    if (i >= t.size())
        return std::nullopt;
    std::uint64_t m = 0;
    for (; i < t.size(); ++i) {
        const char16_t c = t[i].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        m = m * 10 + (c - u'0');
        if (m > (std::uint64_t(1) << 33))
            m = (std::uint64_t(1) << 33) + 1; // far out of every 32-bit range
    }
    return Parsed{negative, m};
}
} // namespace

std::optional<std::int32_t> ParseInt32Field(const QString& text) {
    const auto p = ParseField(text);
    if (!p)
        return std::nullopt;
    if (p->negative) {
        if (p->magnitude > 2147483648ull)
            return std::nullopt;
        return std::int32_t(-std::int64_t(p->magnitude));
    }
    if (p->magnitude > 2147483647ull)
        return std::nullopt;
    return std::int32_t(p->magnitude);
}

std::optional<std::uint32_t> ParseUInt32Field(const QString& text) {
    const auto p = ParseField(text);
    if (!p || p->magnitude > 4294967295ull)
        return std::nullopt;
    const auto v = std::uint32_t(p->magnitude);
    return p->negative ? std::uint32_t(0u - v) : v;
}

void CDataExchange::Fail() {
    if (QWidget* w = m_controls.GetDlgItem(m_idLastControl)) {
        w->setFocus(Qt::OtherFocusReason);
        if (auto* e = qobject_cast<QLineEdit*>(w))
            e->selectAll();
    }
    throw CUserException{};
}

void DDX_Control(CDataExchange* pDX, int id, QWidget& control) {
    if (pDX->m_bSaveAndValidate)
        return;
    pDX->m_controls.Subclass(id, &control);
}

namespace {
// One integer field either way: shown as text, or parsed back with the
// prompt of its type when it is not a whole number of that type.
template <class T, class Parse>
void ExchangeInteger(CDataExchange* pDX, int id, T& value, Parse parse, const QString& prompt) {
    pDX->m_idLastControl = id;
    QLineEdit* e = pDX->m_controls.Item<QLineEdit>(id);
    if (!e)
        return;
    if (!pDX->m_bSaveAndValidate) {
        e->setText(QString::number(value));
        return;
    }
    const auto v = parse(e->text());
    if (!v) {
        AfxMessageBox(prompt, pDX->m_pDlgWnd);
        pDX->Fail();
    }
    value = *v;
}
} // namespace

void DDX_Text(CDataExchange* pDX, int id, std::int32_t& value) {
    ExchangeInteger(pDX, id, value, ParseInt32Field, PromptInteger());
}

void DDX_Text(CDataExchange* pDX, int id, std::atomic<std::int32_t>& value) {
    std::int32_t v = value.load();
    // A failed parse throws before the store, leaving the member as it was.
    DDX_Text(pDX, id, v);
    value.store(v);
}

void DDX_Text(CDataExchange* pDX, int id, std::uint32_t& value) {
    ExchangeInteger(pDX, id, value, ParseUInt32Field, PromptUnsigned());
}

void DDV_MinMaxInt(CDataExchange* pDX, std::int32_t value, std::int32_t min, std::int32_t max) {
    if (!pDX->m_bSaveAndValidate || (value >= min && value <= max))
        return;
    AfxMessageBox(PromptRange(min, max), pDX->m_pDlgWnd);
    pDX->Fail();
}

void DDV_MinMaxUInt(CDataExchange* pDX, std::uint32_t value, std::uint32_t min, std::uint32_t max) {
    if (!pDX->m_bSaveAndValidate || (value >= min && value <= max))
        return;
    AfxMessageBox(PromptRange(min, max), pDX->m_pDlgWnd);
    pDX->Fail();
}
