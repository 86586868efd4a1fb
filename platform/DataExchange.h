#pragma once
#include <QString>
#include <atomic>
#include <cstdint>
#include <optional>

#include "platform/DialogTemplate.h"

class QWidget;

// Raised inside a data exchange to abandon it once the user has been told
// what is wrong; UpdateData catches it and reports failure.
struct CUserException {};

// The state of one exchange between a dialog's controls and its members.
class CDataExchange {
public:
    CDataExchange(QWidget* dlg, CDialogControls& controls, bool saveAndValidate)
        : m_bSaveAndValidate(saveAndValidate), m_pDlgWnd(dlg), m_controls(controls) {}

    // Puts the focus on the last exchanged field, selects its whole text and
    // abandons the exchange.
    [[noreturn]] void Fail();

    bool m_bSaveAndValidate;
    QWidget* m_pDlgWnd;
    CDialogControls& m_controls;
    int m_idLastControl = 0;
};

// Binding of a window object to a control happens once, when exchanging
// towards the controls.
void DDX_Control(CDataExchange* pDX, int id, QWidget& control);
// A window object that knows how to take over a control does it itself.
template <class W>
requires requires(W& w, QWidget* c) {
    w.SubclassWindow(c);
}
void DDX_Control(CDataExchange* pDX, int id, W& control) {
    if (pDX->m_bSaveAndValidate)
        return;
    if (QWidget* original = pDX->m_controls.GetDlgItem(id)) {
        control.SubclassWindow(original);
        pDX->m_controls.Replace(id, &control);
    }
}
template <class W> void DDX_Control(CDataExchange* pDX, int id, W*& control) {
    if (!pDX->m_bSaveAndValidate)
        control = qobject_cast<W*>(pDX->m_controls.GetDlgItem(id));
}
void DDX_Text(CDataExchange* pDX, int id, std::int32_t& value);
// Members that another thread reads: the exchange stores them whole.
void DDX_Text(CDataExchange* pDX, int id, std::atomic<std::int32_t>& value);
void DDX_Text(CDataExchange* pDX, int id, std::uint32_t& value);
void DDV_MinMaxInt(CDataExchange* pDX, std::int32_t value, std::int32_t min, std::int32_t max);
void DDV_MinMaxUInt(CDataExchange* pDX, std::uint32_t value, std::uint32_t min, std::uint32_t max);

// Runs exchange(pDX) and returns whether it went through. Towards the
// members a failed check stops it at the failing field; earlier fields keep
// their new values.
template <class F>
bool UpdateData(QWidget* dlg, CDialogControls& controls, bool save, F&& exchange) {
    CDataExchange dx(dlg, controls, save);
    try {
        exchange(&dx);
    } catch (const CUserException&) {
        return false;
    }
    return true;
}

// Pure parsing, as the C library's %d and %u conversions see a whole field:
// surrounding blanks allowed, nothing else around the number, and the value
// must fit the type. %u takes a minus sign and wraps, so "-5" is 4294967291.
std::optional<std::int32_t> ParseInt32Field(const QString& text);
std::optional<std::uint32_t> ParseUInt32Field(const QString& text);

// The prompts the exchange shows.
QString PromptInteger();
QString PromptUnsigned();
QString PromptRange(long long min, long long max);
