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
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <cmath>

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

    // The title runs on from a few pixels in and leaves as many before the
    // frame's right edge.
    qreal TitleRoom() const { return width() - 2 * kTitleIndent; }

    // The title's rectangle as it is drawn, in the box's coordinates. Styles
    // place it at the left edge; it goes a few pixels in. The fonts here
    // leave room above their tallest characters that the templates' fonts
    // did not (Noto Sans CJK SC: 3 px at 11 px): the title goes up by that
    // room, or a control the template places just below the title (a
    // readout, a strip) covers its foot.
    QRect TitleRect() const {
        const QRect label = StyleTitleRect();
        return label.translated(TitleShift(label));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        QStyleOptionGroupBox opt;
        initStyleOption(&opt);
        const QRect label = StyleTitleRect();
        const QPoint shift = TitleShift(label);
        const QRect title = label.translated(shift);
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
        QRegion clip = QRegion(rect()) -
                       QRect(title.left() - kTitleGap, 0, title.width() + 2 * kTitleGap, line + 1);
        // Where the template lets boxes overlap (the foot of 脉搏1 is the top
        // of 脉搏2), no frame runs through another box's title either.
        const QObjectList siblings = parentWidget() ? parentWidget()->children() : QObjectList();
        for (QObject* o : siblings) {
            auto* other = dynamic_cast<CGroupBoxCtl*>(o);
            if (!other || other == this || other->isHidden())
                continue;
            const QRect t = other->TitleRect();
            clip -= QRect(t.left() - kTitleGap, 0, t.width() + 2 * kTitleGap, t.bottom() + 1)
                        .translated(other->pos() - pos());
        }
        p.setClipRegion(clip);
        style()->drawPrimitive(QStyle::PE_FrameGroupBox, &frame, &p, this);
        p.restore();

        opt.subControls = QStyle::SC_GroupBoxLabel;
        p.translate(shift);
        style()->drawComplexControl(QStyle::CC_GroupBox, &opt, &p, this);
    }

private:
    // Where the style puts the title.
    QRect StyleTitleRect() const {
        QStyleOptionGroupBox opt;
        initStyleOption(&opt);
        return style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, this);
    }
    QPoint TitleShift(const QRect& label) const {
        return QPoint(kTitleIndent, -RoomAboveInk(label));
    }

    // Between the top of the title's rectangle, where the style sets the
    // text's line, and the ink of the tallest characters the titles hold
    // (ideographs, capitals, ascenders), in whole pixels.
    int RoomAboveInk(const QRect& label) const {
        const QFontMetricsF fm(font());
        const qreal inkTop =
            label.top() + fm.ascent() + fm.tightBoundingRect(QStringLiteral("国Hd")).top();
        return std::max(0, int(std::floor(inkTop)));
    }

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

// A static text as the templates' labels are: one line from the left edge.
// The fonts here have lines taller than those labels (16 px in 12 at 11 px);
// a line centred in them leaves its ink off centre, and at some scales the
// top or the foot of the text is cut off: the ink is what is centred.
class CStaticCtl : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QRectF ink = QFontMetricsF(font()).tightBoundingRect(text());
        p.drawText(QPointF(0, (height() - ink.height()) / 2 - ink.top()), text());
    }
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
        auto* l = new CStaticCtl(text, parent);
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

// The width the style gives a control's text (text set to it); 0 for a
// control that shows none.
qreal TextRoomWidth(QWidget* w, QString* text) {
    w->ensurePolished(); // a style sheet changes the room
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        QStyleOptionButton o;
        o.initFrom(b);
        o.text = b->text();
        *text = b->text();
        const bool radio = qobject_cast<QRadioButton*>(w);
        return b->style()
            ->subElementRect(radio ? QStyle::SE_RadioButtonContents : QStyle::SE_PushButtonContents,
                             &o, b)
            .width();
    }
    if (auto* l = qobject_cast<QLabel*>(w)) {
        *text = l->text();
        return l->contentsRect().width();
    }
    if (auto* g = dynamic_cast<CGroupBoxCtl*>(w)) {
        *text = g->title();
        return g->TitleRoom();
    }
    return 0;
}

// Sets a text that would be cut at its control's edge narrower, as little as
// makes it whole: the ideographs of "压力系数1" need 50 px where the template
// gives 48, which a 4 % narrower face gives without changing their height.
void FitTextWidth(QWidget* w) {
    QString text;
    const qreal room = TextRoomWidth(w, &text);
    if (text.isEmpty())
        return;
    QFont f = w->font();
    for (int stretch = 100; stretch >= kMinTextStretch; --stretch) {
        f.setStretch(stretch);
        const QFontMetricsF fm(f);
        const qreal extent =
            std::max(fm.horizontalAdvance(text), fm.tightBoundingRect(text).right());
        if (extent <= room) {
            if (stretch != 100)
                w->setFont(f);
            return;
        }
    }
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
        if (!text.isEmpty())
            FitTextWidth(w);
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
