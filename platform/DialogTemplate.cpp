#include "platform/DialogTemplate.h"

#include "platform/DialogUnits.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionGroupBox>

void CDialogControls::Add(int id, QWidget* w) {
    if (id != IDC_STATIC)
        m_byId.insert(id, w);
    m_order.push_back(w);
}

void CDialogControls::Subclass(int id, QWidget* replacement) {
    QWidget* original = GetDlgItem(id);
    if (!original || original == replacement)
        return;
    replacement->setParent(original->parentWidget());
    replacement->setGeometry(original->geometry());
    replacement->setEnabled(original->isEnabled());
    replacement->stackUnder(original);
    replacement->setFocusPolicy(original->focusPolicy());
    if (original->focusPolicy() != Qt::NoFocus)
        QWidget::setTabOrder(original, replacement);
    const bool visible = !original->isHidden();
    original->hide();
    original->setEnabled(false);
    replacement->setVisible(visible);
    m_byId.insert(id, replacement);
    for (auto& w : m_order)
        if (w == original)
            w = replacement;
}

void CDialogControls::Replace(int id, QWidget* replacement) {
    QWidget* original = GetDlgItem(id);
    if (!original)
        return;
    m_byId.insert(id, replacement);
    for (auto& w : m_order)
        if (w == original)
            w = replacement;
}

QFont DialogFont(const DialogTemplate& t) {
    QFont f(QString::fromUtf8(t.fontFace));
    // 9 points at 96 DPI would be 12 px; the CJK faces here run wider than the
    // face the layout was drawn with, so one pixel less keeps the labels whole.
    f.setPixelSize(t.pointSize * 96 / 72 - 1);
    return f;
}

namespace {
// A group box as dialogs draw it: the title sits on the frame's top line,
// which is interrupted behind the text. The style's own frame and title are
// drawn, only placed so.
class CGroupBoxCtl : public QGroupBox {
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        QStyleOptionGroupBox opt;
        initStyleOption(&opt);
        // Styles place the title at the left edge; it goes a few pixels in.
        const QRect title =
            style()
                ->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, this)
                .translated(kTitleIndent, 0);

        const int line = title.center().y(); // where the frame's top line runs

        QStyleOptionFrame frame;
        frame.QStyleOption::operator=(opt);
        frame.features = opt.features;
        frame.lineWidth = opt.lineWidth;
        frame.midLineWidth = opt.midLineWidth;
        frame.rect = rect();
        // Styles draw the top line some way below the rectangle they are
        // given (Fusion leaves room for a title above it); move the
        // rectangle up by that much so the line runs through the title.
        frame.rect.setTop(line - FrameTopInset(frame));
        p.save();
        // Only the line stops behind the title; what the frame fills below
        // it goes on under the text.
        p.setClipRegion(QRegion(rect()) - QRect(title.left() - kTitleGap, 0,
                                                title.width() + 2 * kTitleGap, line + 1));
        style()->drawPrimitive(QStyle::PE_FrameGroupBox, &frame, &p, this);
        p.restore();

        opt.subControls = QStyle::SC_GroupBoxLabel;
        p.translate(kTitleIndent, 0);
        style()->drawComplexControl(QStyle::CC_GroupBox, &opt, &p, this);
    }

private:
    // Where the style draws the frame's top line below the top of its rectangle.
    int FrameTopInset(const QStyleOptionFrame& frame) const {
        QImage probe(frame.rect.size(), QImage::Format_ARGB32_Premultiplied);
        probe.fill(Qt::transparent);
        QStyleOptionFrame o = frame;
        o.rect = probe.rect();
        {
            QPainter p(&probe);
            style()->drawPrimitive(QStyle::PE_FrameGroupBox, &o, &p, this);
        }
        const int x = probe.width() / 2;
        for (int y = 0; y < probe.height(); ++y)
            if (qAlpha(probe.pixel(x, y)) != 0)
                return y;
        return 0;
    }

    // The line runs on for a few pixels left of the title, and stops a
    // pixel short of the text on either side.
    static constexpr int kTitleIndent = 7;
    static constexpr int kTitleGap = 1;
};

// A drop-down list whose open list shows every entry whole, however narrow
// the closed box is.
class CComboBoxCtl : public QComboBox {
public:
    using QComboBox::QComboBox;

    void showPopup() override {
        view()->setMinimumWidth(view()->sizeHintForColumn(0) + 2 * view()->frameWidth());
        QComboBox::showPopup();
    }
};

QWidget* MakeControl(const ControlTemplate& c, const QString& text, QWidget* parent,
                     const CustomControlFactory& custom) {
    switch (c.kind) {
    case ControlKind::AutoRadioButton: {
        auto* r = new QRadioButton(text, parent);
        // The original indicator sits closer to its text; with the style's
        // spacing the last character of a four-character label is cut off.
        r->setStyleSheet(QStringLiteral("QRadioButton { spacing: 1px; }"));
        return r;
    }
    case ControlKind::GroupBox: {
        auto* g = new CGroupBoxCtl(text, parent);
        // A group box is only a frame: clicks go through it to the controls
        // it surrounds, which are its siblings, not its children.
        g->setAttribute(Qt::WA_TransparentForMouseEvents);
        return g;
    }
    case ControlKind::StaticText: {
        auto* l = new QLabel(text, parent);
        l->setTextFormat(Qt::PlainText);
        return l;
    }
    case ControlKind::StaticBordered: {
        auto* l = new QLabel(text, parent);
        l->setTextFormat(Qt::PlainText);
        l->setFrameStyle(QFrame::Box | QFrame::Plain);
        return l;
    }
    case ControlKind::BlackFrame: {
        auto* f = new QFrame(parent);
        f->setFrameStyle(QFrame::Box | QFrame::Plain);
        QPalette p = f->palette();
        p.setColor(QPalette::WindowText, Qt::black);
        f->setPalette(p);
        return f;
    }
    case ControlKind::Edit: {
        auto* e = new QLineEdit(text, parent);
        e->setReadOnly(c.style & ES_READONLY);
        return e;
    }
    case ControlKind::MultiLineEdit: {
        auto* e = new QPlainTextEdit(text, parent);
        e->setReadOnly(c.style & ES_READONLY);
        e->setLineWrapMode(QPlainTextEdit::NoWrap);
        e->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        e->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        return e;
    }
    case ControlKind::PushButton:
    case ControlKind::DefPushButton: {
        auto* b = new QPushButton(text, parent);
        // Enter is the dialog's business (see DialogKeys): no button becomes
        // the default just because it has the focus.
        b->setAutoDefault(false);
        b->setDefault(c.kind == ControlKind::DefPushButton);
        return b;
    }
    case ControlKind::ComboDropList: {
        auto* cb = new CComboBoxCtl(parent);
        cb->setEditable(false);
        // The templates size combo boxes for the narrow arrow of the original
        // controls; with the style's wider frame and arrow "COM16" would not
        // show whole in 35 dialog units.
        cb->setStyleSheet(QStringLiteral("QComboBox { padding: 0px 0px 0px 3px; }"
                                         "QComboBox::drop-down { width: 12px; }"));
        return cb;
    }
    case ControlKind::Icon:
        return new QLabel(parent);
    case ControlKind::Custom: {
        QWidget* w = custom ? custom(c, parent) : nullptr;
        if (!w) {
            w = new QWidget(parent);
            w->hide();
        }
        return w;
    }
    }
    return new QWidget(parent);
}

// A template text in the language in force.
QString TemplateText(const DialogTemplate& t, const char* text, const char* comment = nullptr) {
    if (!text || !*text)
        return {};
    return t.trContext ? QCoreApplication::translate(t.trContext, text, comment)
                       : QString::fromUtf8(text);
}

} // namespace

void BuildDialog(QDialog* dlg, const DialogTemplate& t, CDialogControls& controls,
                 const CustomControlFactory& custom) {
    dlg->setWindowTitle(TemplateText(t, t.caption));
    dlg->setFont(DialogFont(t));
    dlg->setFixedSize(MapDialogSize(t.cx, t.cy));
    for (const ControlTemplate& c : t.controls) {
        const QString text =
            TemplateText(t, c.text, c.kind == ControlKind::GroupBox ? kGroupTitleComment : nullptr);
        QWidget* w = MakeControl(c, text, dlg, custom);
        QRect px = MapDialogRect(QRect(c.x, c.y, c.cx, c.cy));
        if (c.kind == ControlKind::ComboDropList)
            px.setHeight(MapDialogRect(QRect(c.x, c.y, c.cx, 14)).height()); // closed height
        w->setGeometry(px);
        w->setEnabled(!(c.style & WS_DISABLED));
        const bool tabStop = c.style & WS_TABSTOP;
        if (c.kind != ControlKind::Custom)
            w->setFocusPolicy(
                tabStop ? Qt::StrongFocus
                        : (c.kind == ControlKind::AutoRadioButton ? Qt::ClickFocus : Qt::NoFocus));
        // An embedded control is there to be used, not seen.
        w->setVisible(c.kind != ControlKind::Custom);
        if (!text.isEmpty() && t.trContext) {
            // Where a language shortened the label, the name in full. Without a
            // translation of its own the lookup gives the label or the source.
            const QString full = TemplateText(t, c.text, kFullNameComment);
            if (full != text && full != QString::fromUtf8(c.text))
                w->setToolTip(full);
        }
        controls.Add(c.id, w);
    }
    // The first control of a template is the top of the stacking order.
    for (QWidget* w : controls.InTemplateOrder())
        w->lower();
    // Tab order follows the template.
    QWidget* prev = nullptr;
    for (QWidget* w : controls.InTemplateOrder()) {
        if (w->focusPolicy() == Qt::NoFocus)
            continue;
        if (prev)
            QWidget::setTabOrder(prev, w);
        prev = w;
    }
}
