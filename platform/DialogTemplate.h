#pragma once
#include <QFont>
#include <QHash>
#include <QRect>
#include <QString>
#include <functional>
#include <vector>

class QDialog;
class QWidget;

// Control kinds that occur in the dialog templates.
enum class ControlKind {
    AutoRadioButton,
    GroupBox,
    StaticText,
    StaticBordered, // a bordered static control with text
    BlackFrame,
    Edit,
    MultiLineEdit,
    PushButton,
    DefPushButton,
    ComboDropList,
    Icon,
    Custom, // an embedded control (the serial control); made by the dialog itself
};

// Window and control styles that the templates use.
enum ControlStyle : unsigned {
    kStyleNone = 0,
    WS_GROUP = 1u << 0,
    WS_TABSTOP = 1u << 1,
    WS_DISABLED = 1u << 2,
    WS_BORDER = 1u << 3,
    WS_VSCROLL = 1u << 4,
    WS_HSCROLL = 1u << 5,
    ES_READONLY = 1u << 6,
    ES_AUTOHSCROLL = 1u << 7,
    SS_NOPREFIX = 1u << 8,
    CBS_DROPDOWNLIST = 1u << 9,
};

inline constexpr int IDC_STATIC = -1;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* text; // UTF-8
    int x, y, cx, cy; // dialog units
    unsigned style;
};

struct DialogTemplate {
    int id;
    const char* caption;
    int cx, cy; // client area, dialog units
    const char* fontFace;
    int pointSize;
    std::vector<ControlTemplate> controls; // template order = tab and stacking order
    // The translation context of the caption and the controls' texts, which
    // are the source texts; nullptr shows them as they are.
    const char* trContext = nullptr;
};

// Disambiguations a template text may have translations under, beside its
// plain one, which they fall back on: a group box's title (where the same
// text also labels a button: 放大倍数, the gains, and Set gains), and a
// control's name in full, where the label had to be shortened to fit (the
// control then shows the full name as its tooltip).
inline constexpr char kGroupTitleComment[] = "group box";
inline constexpr char kFullNameComment[] = "full name";

// The controls of one dialog, looked up by their IDs (GetDlgItem).
class CDialogControls {
public:
    QWidget* GetDlgItem(int id) const { return m_byId.value(id, nullptr); }
    template <class W> W* Item(int id) const { return qobject_cast<W*>(GetDlgItem(id)); }
    const std::vector<QWidget*>& InTemplateOrder() const { return m_order; }

    void Add(int id, QWidget* w);
    // Puts replacement where the control id is (parent, place, size, stacking
    // and tab order) and retires the original: what attaching a window object
    // to an existing control amounts to when the object is a widget of its own.
    void Subclass(int id, QWidget* replacement);
    // Records that replacement now stands for the control id (it has taken
    // the control's place itself).
    void Replace(int id, QWidget* replacement);

private:
    QHash<int, QWidget*> m_byId;
    std::vector<QWidget*> m_order;
};

// Makes an embedded control of kind Custom; may return nullptr for a plain
// invisible placeholder.
using CustomControlFactory = std::function<QWidget*(const ControlTemplate&, QWidget* parent)>;

// Builds the template into dlg: caption, font, fixed client size, and every
// control in template order with its place in pixels and its text in the
// language in force. A text wider than its control is set narrower, down to
// kMinTextStretch per cent of its width, so that it shows whole.
void BuildDialog(QDialog* dlg, const DialogTemplate& t, CDialogControls& controls,
                 const CustomControlFactory& custom = {});

// The dialog font: the template's face (through the substitutions) at the
// pixel height the template's point size has at 96 DPI.
QFont DialogFont(const DialogTemplate& t);

// How far a text may be set narrower to fit its control, in per cent.
inline constexpr int kMinTextStretch = 90;

#include "platform/MessageMap.h"
template <class T>
void CMessageMap<T>::ConnectButtons(T& self, const CDialogControls& controls) const {
    for (const auto& e : m_entries) {
        if (e.msg != Msg::ButtonClicked)
            continue;
        auto* b = qobject_cast<QAbstractButton*>(controls.GetDlgItem(e.id));
        if (!b)
            continue;
        const int id = e.id;
        QObject::connect(b, &QAbstractButton::clicked, &self,
                         [this, &self, id] { Dispatch(self, Msg::ButtonClicked, id); });
    }
}
