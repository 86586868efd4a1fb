// The panel as the operator first sees it, its system menu, its keyboard and
// its data exchange; its language, and its texts whole in either; its command
// line and the recording folder it is told.
#include "acquisition/RecordingDir.h"
#include "platform/DialogUnits.h"
#include "platform/MessageBox.h"
#include "platform/SystemMenu.h"
#include "resources/Resource.h"
#include "resources/Templates.h"
#include "shell/AboutDlg.h"
#include "shell/CommandLine.h"
#include "shell/Language.h"
#include "shell/TovrelDlg.h"
#include "support/panelsupport.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStyleOptionButton>
#include <QXmlStreamReader>
#include <QtTest>

namespace {
// Closes the next modal dialog that opens and records its title.
struct ModalCloser {
    QString title;
    int count = 0;
    void arm() {
        QTimer::singleShot(0, [this] {
            if (QWidget* w = QApplication::activeModalWidget()) {
                title = w->windowTitle();
                ++count;
                if (auto* d = qobject_cast<QDialog*>(w))
                    d->reject();
            } else {
                arm();
            }
        });
    }
};

// Columns of img (within rows top..bottom) holding a pixel at least minDiff
// grey levels away from bg: the horizontal extent of what is drawn there.
std::pair<int, int> InkColumns(const QImage& img, int top, int bottom, int bg, int minDiff) {
    int left = img.width(), right = -1;
    for (int y = top; y <= bottom; ++y)
        for (int x = 0; x < img.width(); ++x)
            if (std::abs(qGray(img.pixel(x, y)) - bg) >= minDiff) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
    return {left, right};
}

struct Run {
    int code = -1;
    QString out, err;
};

// The program itself, without any display to reach.
Run RunPanelProgram(const QStringList& args) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/../shell/tovrel"), args);
    Run r;
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.code = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

QString LastLogText(const CTovrelDlg& dlg) {
    const QStringList lines =
        dlg.m_editHistory.GetWindowText().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.last().section(QStringLiteral(": "), 1);
}

// Every text a window shows or offers (titles, labels, entries, list items,
// tooltips, menu entries), of the window and all its children, each with
// what it belongs to.
QStringList AllTexts(QWidget* window) {
    QStringList texts;
    QList<QWidget*> widgets = window->findChildren<QWidget*>();
    widgets.prepend(window);
    for (QWidget* w : widgets) {
        const QString name = QString::fromLatin1(w->metaObject()->className()) + u' ';
        texts << name + w->windowTitle() << name + w->toolTip() << name + w->whatsThis();
        if (auto* b = qobject_cast<QAbstractButton*>(w))
            texts << name + b->text();
        if (auto* l = qobject_cast<QLabel*>(w))
            texts << name + l->text();
        if (auto* g = qobject_cast<QGroupBox*>(w))
            texts << name + g->title();
        if (auto* e = qobject_cast<QLineEdit*>(w))
            texts << name + e->text() << name + e->placeholderText();
        if (auto* e = qobject_cast<QPlainTextEdit*>(w))
            texts << name + e->toPlainText();
        if (auto* c = qobject_cast<QComboBox*>(w))
            for (int i = 0; i < c->count(); ++i)
                texts << name + c->itemText(i);
        if (auto* m = qobject_cast<QMenu*>(w))
            for (QAction* a : m->actions())
                texts << name + a->text() << name + a->toolTip();
    }
    return texts;
}

// Where a control's text goes, as its style lays it out; an empty rectangle
// for a control without text.
QRect TextRoom(QWidget* w, QString* text) {
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        QStyleOptionButton o;
        o.initFrom(b);
        o.text = *text = b->text();
        const bool radio = qobject_cast<QRadioButton*>(w);
        return b->style()->subElementRect(
            radio ? QStyle::SE_RadioButtonContents : QStyle::SE_PushButtonContents, &o, b);
    }
    if (auto* l = qobject_cast<QLabel*>(w)) {
        *text = l->text();
        return l->contentsRect();
    }
    return {};
}

// The grey most of area's pixels have: what text is drawn on.
int Background(const QImage& img, const QRect& area) {
    int count[256] = {};
    const QRect r = area & img.rect();
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            ++count[qGray(img.pixel(x, y))];
    return int(std::max_element(std::begin(count), std::end(count)) - std::begin(count));
}

// The ink's rows and columns in area of img (device pixels): the pixels at
// least half as far from the background as the darkest (a disabled control's
// text is grey). Invalid without ink.
QRect InkBounds(const QImage& img, const QRect& area) {
    const QRect r = area & img.rect();
    const int bg = Background(img, r);
    int most = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            most = std::max(most, std::abs(qGray(img.pixel(x, y)) - bg));
    QRect ink;
    if (most < 40)
        return ink;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (2 * std::abs(qGray(img.pixel(x, y)) - bg) >= most)
                ink |= QRect(x, y, 1, 1);
    return ink;
}

// A control's text as it shows in its room, against the same text drawn in
// its font with all the room it wants: the same ink across and up and down
// (within a device pixel: the two are set at different places), or what is
// missing.
QString CutProblem(QWidget* w, const QString& text, const QRect& room) {
    const QImage shown = w->grab().toImage();
    const qreal dpr = shown.devicePixelRatio();
    const QRect ink =
        InkBounds(shown, QRectF(QPointF(room.topLeft()) * dpr, QSizeF(room.size()) * dpr).toRect());
    const QFontMetricsF fm(w->font());
    QImage roomy(QSize(int((fm.horizontalAdvance(text) + 20) * dpr), int((fm.height() + 20) * dpr)),
                 QImage::Format_RGB32);
    roomy.setDevicePixelRatio(dpr);
    roomy.fill(Qt::white);
    {
        QPainter p(&roomy);
        p.setFont(w->font());
        p.setPen(Qt::black);
        p.drawText(QPointF(10, 10 + fm.ascent()), text);
    }
    const QRect whole = InkBounds(roomy, roomy.rect());
    if (ink.width() < whole.width() - 1 || ink.height() < whole.height() - 1)
        return QStringLiteral("%1x%2 device pixels of ink shown, %3x%4 drawn whole")
            .arg(ink.width())
            .arg(ink.height())
            .arg(whole.width())
            .arg(whole.height());
    return {};
}

// A group box's title, found as the ink at the top of the box drawn by
// itself: it shows whole (as wide as the text drawn with all the room it
// wants), and the same pixels are there in the panel, so that no control
// covers any of it. Empty when so, else what is wrong.
QString TitleProblem(const QImage& panel, QGroupBox* g) {
    const QImage alone = g->grab().toImage();
    const qreal dpr = alone.devicePixelRatio();
    const QFontMetricsF fm(g->font());
    const int band = int(std::ceil((fm.height() + 4) * dpr));
    // Clear of the frame's sides; the frame's lines are lighter than text.
    const QRect top(int(4 * dpr), 0, alone.width() - int(7 * dpr), band);
    const QRect ink = InkBounds(alone, top);
    if (!ink.isValid())
        return QStringLiteral("no title found");
    QImage roomy(QSize(int((fm.horizontalAdvance(g->title()) + 20) * dpr), band),
                 QImage::Format_RGB32);
    roomy.setDevicePixelRatio(dpr);
    roomy.fill(Qt::white);
    {
        QPainter p(&roomy);
        p.setFont(g->font());
        p.setPen(Qt::black);
        p.drawText(QPointF(10, fm.ascent() + 1), g->title());
    }
    const QRect whole = InkBounds(roomy, roomy.rect());
    if (ink.width() < whole.width() - 1)
        return QStringLiteral("cut: %1 device pixels of ink across shown, %2 drawn whole")
            .arg(ink.width())
            .arg(whole.width());
    const QPoint at = g->pos() * dpr;
    int covered = 0;
    for (int y = ink.top(); y <= ink.bottom(); ++y)
        for (int x = ink.left(); x <= ink.right(); ++x)
            if (panel.pixel(at + QPoint(x, y)) != alone.pixel(x, y))
                ++covered;
    if (covered)
        return QStringLiteral("%1 of its pixels covered").arg(covered);
    return {};
}
} // namespace

class TestPanelShell : public QObject {
    Q_OBJECT
    QStringList m_boxes;

private slots:
    void initTestCase() { InitPanelTestApp(&m_boxes); }
    void init() { m_boxes.clear(); }

    void initialStatesOfEveryControl() {
        CTovrelDlg dlg;
        dlg.Create();
        QCOMPARE(dlg.windowTitle(), QStringLiteral("电生理多参数采集软件V1.1.2"));
        QCOMPARE(dlg.size(), QSize(923, 551));
        auto* combo = dlg.Controls().Item<QComboBox>(IDC_COMBO_PORT);
        QVERIFY(combo);
        QCOMPARE(combo->count(), 16);
        for (int i = 0; i < 16; ++i)
            QCOMPARE(combo->itemText(i), QStringLiteral("COM%1").arg(i + 1));
        QCOMPARE(combo->currentText(), QStringLiteral("COM1"));
        auto* test = dlg.Controls().Item<QRadioButton>(IDC_RADIO_TEST);
        auto* calib = dlg.Controls().Item<QRadioButton>(IDC_RADIO_CALIB);
        QVERIFY(test->isChecked() && test->isEnabled());
        QVERIFY(!calib->isChecked() && !calib->isEnabled());
        for (int id : {IDC_EDIT_COEF1, IDC_EDIT_COEF2}) {
            auto* e = dlg.Controls().Item<QLineEdit>(id);
            QVERIFY(!e->isEnabled());
            QCOMPARE(e->text(), QStringLiteral("100"));
        }
        for (int id : {IDC_EDIT_GAIN1, IDC_EDIT_GAIN2}) {
            auto* e = dlg.Controls().Item<QLineEdit>(id);
            QVERIFY(e->isEnabled());
            QCOMPARE(e->text(), QStringLiteral("0"));
        }
        QVERIFY(dlg.m_editHistory.GetWindowText().isEmpty());
        QCOMPARE(dlg.GetDlgItem(IDC_EDIT_HISTORY), &dlg.m_editHistory);
        QVERIFY(dlg.m_editHistory.isReadOnly());
        QCOMPARE(dlg.m_editHistory.m_bAcceptFocus, 1);
        int buttons = 0;
        for (int id = 1000; id <= 1023; ++id)
            if (auto* b = qobject_cast<QPushButton*>(dlg.GetDlgItem(id))) {
                QVERIFY2(b->isEnabled(), qPrintable(b->text()));
                QVERIFY(!b->autoDefault() && !b->isDefault());
                ++buttons;
            }
        QCOMPARE(buttons, 9);
        QCOMPARE(dlg.m_iPressCoef1.load(), 100);
        QCOMPARE(dlg.m_uPulseGain1, 0u);
    }

    void geometryAndPixelsFollowTheDialogUnits() {
        CTovrelDlg dlg;
        dlg.Create();
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QCOMPARE(dlg.GetDlgItem(IDC_FRAME_PULSE1)->geometry(), QRect(17, 129, 892, 84));
        QCOMPARE(dlg.GetDlgItem(IDC_BUTTON_OPENPORT)->geometry(), QRect(264, 26, 53, 21));
        QCOMPARE(dlg.GetDlgItem(IDC_EDIT_HISTORY)->geometry(), QRect(623, 15, 289, 93));
        const QImage img = dlg.grab().toImage();
        // The strip frames' black border.
        QCOMPARE(QColor(img.pixel(17 + 400, 129)), QColor(Qt::black));
        QCOMPARE(QColor(img.pixel(17, 129 + 40)), QColor(Qt::black));
        // Background of the dialog elsewhere is not black.
        QVERIFY(QColor(img.pixel(3, 540)) != QColor(Qt::black));
        // The serial control takes no room on screen.
        QVERIFY(!dlg.GetDlgItem(IDC_MSCOMM1)->isVisible());
    }

    void templateControlsAreTheConstantsOfTheirNames() {
        // What each constant names, by the control's number, kind and text
        // or place (x, y in dialog units).
#define TOVREL_CONTROL(id, number, kind, text, x, y)                                               \
    { id, #id, number, ControlKind::kind, text, x, y }
        const struct {
            int id;
            const char* name;
            int number;
            ControlKind kind;
            const char* text;
            int x, y;
        } kControls[] = {
            TOVREL_CONTROL(IDC_RADIO_TEST, 1000, AutoRadioButton, "测试模式", 10, 21),
            TOVREL_CONTROL(IDC_RADIO_CALIB, 1001, AutoRadioButton, "标定模式", 10, 45),
            TOVREL_CONTROL(IDC_EDIT_COEF1, 1002, Edit, "", 60, 33),
            TOVREL_CONTROL(IDC_BUTTON_DOWNLOAD, 1003, PushButton, "下载", 71, 51),
            TOVREL_CONTROL(IDC_BUTTON_START, 1004, PushButton, "启动采样", 176, 36),
            TOVREL_CONTROL(IDC_BUTTON_STOP, 1005, PushButton, "停止采样", 215, 36),
            TOVREL_CONTROL(IDC_BUTTON_AMPLIFY, 1006, PushButton, "放大倍数", 272, 55),
            TOVREL_CONTROL(IDC_BUTTON_ZERO, 1007, PushButton, "校零", 138, 45),
            TOVREL_CONTROL(IDC_EDIT_GAIN1, 1008, Edit, "", 263, 30),
            TOVREL_CONTROL(IDC_STATIC_PRESS2, 1009, StaticBordered, "静态", 339, 51),
            TOVREL_CONTROL(IDC_EDIT_GAIN2, 1010, Edit, "", 296, 30),
            TOVREL_CONTROL(IDC_EDIT_HISTORY, 1011, MultiLineEdit, "", 415, 10),
            TOVREL_CONTROL(IDC_COMBO_PORT, 1012, ComboDropList, "", 138, 21),
            TOVREL_CONTROL(IDC_STATIC_PRESS1, 1013, StaticBordered, "静态", 339, 16),
            TOVREL_CONTROL(IDC_MSCOMM1, 1014, Custom, "", 394, 7),
            TOVREL_CONTROL(IDC_EDIT_COEF2, 1015, Edit, "", 95, 33),
            TOVREL_CONTROL(IDC_FRAME_PULSE1, 1016, BlackFrame, "", 11, 86),
            TOVREL_CONTROL(IDC_FRAME_PULSE2, 1017, BlackFrame, "", 11, 156),
            TOVREL_CONTROL(IDC_FRAME_ECG, 1018, BlackFrame, "", 11, 229),
            TOVREL_CONTROL(IDC_FRAME_HEARTSOUND, 1019, BlackFrame, "", 11, 300),
            TOVREL_CONTROL(IDC_BUTTON_SAVEFILE, 1020, PushButton, "保存文件", 176, 56),
            TOVREL_CONTROL(IDC_BUTTON_STOPSAVE, 1021, PushButton, "停止保存", 215, 56),
            TOVREL_CONTROL(IDC_BUTTON_OPENPORT, 1022, PushButton, "打开串口", 176, 17),
            TOVREL_CONTROL(IDC_BUTTON_CLOSEPORT, 1023, PushButton, "关闭串口", 215, 17),
        };
#undef TOVREL_CONTROL
        // The template numbers exactly the controls the constants name...
        QList<int> templateIds, constants;
        for (const ControlTemplate& c : PanelTemplate().controls)
            if (c.id != IDC_STATIC)
                templateIds << c.id;
        for (const auto& k : kControls)
            constants << k.id;
        std::sort(templateIds.begin(), templateIds.end());
        std::sort(constants.begin(), constants.end());
        QCOMPARE(templateIds, constants);
        // ...each constant has its number, and its control is the one of its name.
        for (const auto& k : kControls) {
            QVERIFY2(k.id == k.number, k.name);
            const auto& all = PanelTemplate().controls;
            const auto c = std::find_if(all.begin(), all.end(),
                                        [&](const ControlTemplate& t) { return t.id == k.id; });
            QVERIFY2(c != all.end(), k.name);
            QVERIFY2(c->kind == k.kind && QByteArray(c->text) == k.text && c->x == k.x &&
                         c->y == k.y,
                     k.name);
        }
    }

    void groupTitlesSitOnTheirFrameLineAndThePortListShowsEveryEntry() {
        PanelFixture fixture;
        CTovrelDlg& dlg = fixture.dlg;
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const QImage panel = dlg.grab().toImage();
        // The group boxes whose titles nothing covers.
        const QStringList uncovered = {QStringLiteral("模式选择"), QStringLiteral("标定系数"),
                                       QStringLiteral("操作"), QStringLiteral("放大倍数")};
        int checked = 0;
        for (QGroupBox* g : dlg.findChildren<QGroupBox*>()) {
            const QString title = g->title();
            if (!uncovered.contains(title))
                continue;
            ++checked;
            const QImage img = panel.copy(g->geometry());
            const int bg = qGray(img.pixel(img.width() - 4, 1));
            // The title: the first run of rows with dark pixels in the top
            // left corner (a label further down is not part of it).
            const int rows = g->fontMetrics().height() + 8;
            const int columns = g->fontMetrics().horizontalAdvance(title) + 12;
            auto dark = [&](int y) {
                for (int x = 0; x < columns; ++x)
                    if (qGray(img.pixel(x, y)) < 160)
                        return true;
                return false;
            };
            int inkTop = 0;
            while (inkTop < rows && !dark(inkTop))
                ++inkTop;
            int inkBottom = inkTop;
            while (inkBottom + 1 < rows && dark(inkBottom + 1))
                ++inkBottom;
            const auto [inkLeft, inkRight] =
                InkColumns(img.copy(0, 0, columns, rows), inkTop, inkBottom, bg, 40);
            QVERIFY2(inkBottom > inkTop && inkRight > inkLeft, qPrintable(title));
            // The top line, found just right of the title, runs through its middle.
            const int lineX = inkRight + 6;
            int line = 0;
            while (line < img.height() && std::abs(qGray(img.pixel(lineX, line)) - bg) < 10)
                ++line;
            QVERIFY2(std::abs(2 * line - (inkTop + inkBottom)) <= 2,
                     qPrintable(QStringLiteral("%1: line at %2, title %3 to %4")
                                    .arg(title)
                                    .arg(line)
                                    .arg(inkTop)
                                    .arg(inkBottom)));
            // It is there left of the title, and stops on either side of the text.
            QVERIFY2(std::abs(qGray(img.pixel(4, line)) - bg) >= 10, qPrintable(title));
            auto gapFrom = [&](int x, int step) {
                for (int i = 0; i < 3; ++i, x += step)
                    if (std::abs(qGray(img.pixel(x, line)) - bg) < 4)
                        return true;
                return false;
            };
            QVERIFY2(gapFrom(inkLeft - 1, -1) && gapFrom(inkRight + 1, 1), qPrintable(title));
        }
        QCOMPARE(checked, 4);

        // The port list opens wide enough for "COM16" whole; the closed box
        // keeps its place and size.
        auto* combo = dlg.Controls().Item<QComboBox>(IDC_COMBO_PORT);
        combo->showPopup();
        QTRY_VERIFY(combo->view()->isVisible());
        QCOMPARE(combo->geometry(), MapDialogRect(QRect(138, 21, 35, 14)));
        QAbstractItemView* view = combo->view();
        QVERIFY(view->viewport()->width() >= view->fontMetrics().horizontalAdvance("COM16"));
        // The last entry shows as wide as the list draws it given all the room
        // it wants, not cut short.
        const QModelIndex com16 = combo->model()->index(15, 0);
        const QRect row = view->visualRect(com16);
        const QImage shown = view->viewport()->grab(row).toImage();
        QImage roomy(row.width() * 3, row.height(), QImage::Format_RGB32);
        {
            QStyleOptionViewItem option;
            option.initFrom(view->viewport());
            option.rect = roomy.rect();
            option.font = view->font();
            QPainter p(&roomy);
            p.fillRect(roomy.rect(), shown.pixel(shown.width() - 1, 0));
            view->itemDelegate()->paint(&p, option, com16);
        }
        auto inkWidth = [](const QImage& img) {
            const auto [left, right] =
                InkColumns(img, 0, img.height() - 1, qGray(img.pixel(img.width() - 1, 0)), 60);
            return right - left;
        };
        QCOMPARE(inkWidth(shown), inkWidth(roomy));
        combo->hidePopup();
    }

    void systemMenuOffersAboutAndRoutesCommands() {
        CTovrelDlg dlg;
        dlg.Create();
        CSystemMenu* menu = GetSystemMenu(&dlg);
        const QList<unsigned> cmds = menu->Commands();
        QVERIFY(cmds.size() >= 4);
        QCOMPARE(cmds.at(cmds.size() - 2), 0u); // separator
        QCOMPARE(cmds.last(), IDM_ABOUTBOX);
        QCOMPARE(menu->actions().last()->text(), QStringLiteral("关于 Tovrel(&A)..."));
        QVERIFY(cmds.contains(SC_MOVE) && cmds.contains(SC_CLOSE));

        // Every identifier from 16 to 31 opens the About box.
        ModalCloser closer;
        for (unsigned id : {16u, 17u, 31u}) {
            closer.arm();
            menu->Trigger(id);
        }
        QCOMPARE(closer.count, 3);
        QCOMPARE(closer.title, QStringLiteral("关于 Tovrel"));
        // 32 does not; it falls to the default processing, which ignores it.
        closer.arm();
        menu->Trigger(32);
        QCOMPARE(closer.count, 3);
        QApplication::processEvents(); // let the pending closer run out harmlessly

        // Close goes the way of the close box.
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        menu->Trigger(SC_CLOSE);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
    }

    void aboutBoxShowsIconTextAndOk() {
        CAboutDlg about;
        about.Create();
        QCOMPARE(about.windowTitle(), QStringLiteral("关于 Tovrel"));
        bool text = false, icon = false;
        for (QWidget* w : about.Controls().InTemplateOrder())
            if (auto* l = qobject_cast<QLabel*>(w)) {
                text |= l->text() == QStringLiteral("Tovrel，1.0 版");
                icon |= !l->pixmap().isNull();
            }
        QVERIFY(text && icon);
        auto* ok = about.Controls().Item<QPushButton>(IDOK);
        QCOMPARE(ok->text(), QStringLiteral("确定"));
        about.show();
        ok->click();
        QCOMPARE(about.result(), int(QDialog::Accepted));
    }

    void enterWithAnOutOfRangeGainKeepsThePanelOpen() {
        CTovrelDlg dlg;
        dlg.Create();
        dlg.show();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        auto* gain1 = dlg.Controls().Item<QLineEdit>(IDC_EDIT_GAIN1);
        gain1->setText(QStringLiteral("300"));
        dlg.Controls().Item<QLineEdit>(IDC_EDIT_GAIN2)->setFocus();
        QTest::keyClick(dlg.Controls().GetDlgItem(IDC_EDIT_GAIN2), Qt::Key_Return);
        QVERIFY(dlg.isVisible());
        QCOMPARE(m_boxes, QStringList{QStringLiteral("请输入一个介于 0 和 127 之间的整数。")});
        QCOMPARE(dlg.m_uPulseGain1, 300u);
        QCOMPARE(QApplication::focusWidget(), gain1);
        QCOMPARE(gain1->selectedText(), QStringLiteral("300"));

        // Not a number: the integer prompt; the member keeps its value.
        m_boxes.clear();
        gain1->setText(QStringLiteral("abc"));
        QTest::keyClick(gain1, Qt::Key_Enter);
        QCOMPARE(m_boxes, QStringList{QStringLiteral("请输入一个正整数。")});
        QCOMPARE(dlg.m_uPulseGain1, 300u);
        QVERIFY(dlg.isVisible());

        // Fields before the failing one keep their new values.
        m_boxes.clear();
        dlg.Controls().Item<QLineEdit>(IDC_EDIT_COEF1)->setText(QStringLiteral("150"));
        dlg.Controls().Item<QLineEdit>(IDC_EDIT_COEF2)->setText(QStringLiteral("x"));
        QTest::keyClick(gain1, Qt::Key_Return);
        QCOMPARE(m_boxes, QStringList{QStringLiteral("请输入一个整数。")});
        QCOMPARE(dlg.m_iPressCoef1.load(), 150);
        QCOMPARE(dlg.m_iPressCoef2.load(), 100);

        // Valid values everywhere: Enter ends the panel.
        dlg.Controls().Item<QLineEdit>(IDC_EDIT_COEF2)->setText(QStringLiteral(" 0 "));
        gain1->setText(QStringLiteral("127"));
        QTest::keyClick(gain1, Qt::Key_Return);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.m_iPressCoef2.load(), 0);
    }

    void enterOnAFocusedButtonClicksItAndEscCancels() {
        CTovrelDlg dlg;
        dlg.Create();
        dlg.show();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        auto* b = dlg.Controls().Item<QPushButton>(IDC_BUTTON_STOPSAVE);
        int clicks = 0;
        connect(b, &QPushButton::clicked, [&] { ++clicks; });
        dlg.Controls().Item<QLineEdit>(IDC_EDIT_GAIN1)->setText(QStringLiteral("999"));
        b->setFocus();
        QTest::keyClick(b, Qt::Key_Return);
        QCOMPARE(clicks, 1);
        QVERIFY(dlg.isVisible());
        QVERIFY(m_boxes.isEmpty()); // no exchange ran
        QTest::keyClick(&dlg, Qt::Key_Escape);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        QVERIFY(m_boxes.isEmpty());
    }

    // --help and --version answer on stdout without a display; a bad option
    // is refused on stderr with 2 before any window.
    void programAnswersHelpAndVersionAndRefusesBadOptions() {
        Run r = RunPanelProgram({QStringLiteral("--help")});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.startsWith(QStringLiteral("Usage: tovrel [OPTION]...\n")),
                 qPrintable(r.out));
        QVERIFY(r.out.contains(QStringLiteral("--record-dir DIR")) &&
                r.out.contains(QStringLiteral("RecordDir=")));
        QVERIFY(r.err.isEmpty());
        r = RunPanelProgram({QStringLiteral("--version")});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, PanelVersionLine() + u'\n');
        QVERIFY(QRegularExpression(QStringLiteral("^tovrel \\d+\\.\\d+\\.\\d+$"))
                    .match(PanelVersionLine())
                    .hasMatch());
        for (const QStringList& bad :
             {QStringList{"--bogus"}, QStringList{"extra"}, QStringList{"--record-dir"},
              QStringList{"--record-dir="}, QStringList{"-platform"}}) {
            r = RunPanelProgram(bad);
            QVERIFY2(r.code == 2, qPrintable(bad.join(u' ')));
            QVERIFY(r.out.isEmpty());
            QVERIFY2(r.err.startsWith(QStringLiteral("tovrel: ")) &&
                         r.err.endsWith(QStringLiteral(" (see --help)\n")),
                     qPrintable(r.err));
        }

        // Qt's own options are left for Qt, in either spelling.
        const SPanelCommandLine run =
            ParsePanelCommandLine({"tovrel", "-platform", "offscreen", "--record-dir=/data/rec",
                                   "--style=fusion", "-reverse", "-qwindowgeometry", "100x100"});
        QCOMPARE(int(run.action), int(SPanelCommandLine::EAction::Run));
        QCOMPARE(run.recordDir, QStringLiteral("/data/rec"));
        QCOMPARE(ParsePanelCommandLine({"tovrel", "--record-dir", "-h"}).recordDir,
                 QStringLiteral("-h"));
        QCOMPARE(int(ParsePanelCommandLine({"tovrel", "-reverse=1"}).action),
                 int(SPanelCommandLine::EAction::Error));
    }

    // The command line's folder wins, from the current folder; the settings
    // file's from the home folder.
    void recordingFolderFromTheCommandLineOrTheSettings() {
        QCOMPARE(ResolveRecordDir("rec", "/set", "/cwd", "/home/u"), QStringLiteral("/cwd/rec"));
        QCOMPARE(ResolveRecordDir("/abs/x/../y", "/set", "/cwd", "/home/u"),
                 QStringLiteral("/abs/y"));
        QCOMPARE(ResolveRecordDir("", " /set/ ", "/cwd", "/home/u"), QStringLiteral("/set"));
        QCOMPARE(ResolveRecordDir("", "~/rec", "/cwd", "/home/u"), QStringLiteral("/home/u/rec"));
        QCOMPARE(ResolveRecordDir("", "rec", "/cwd", "/home/u"), QStringLiteral("/home/u/rec"));
        QCOMPARE(ResolveRecordDir("", "~", "/cwd", "/home/u"), QStringLiteral("/home/u"));
        QCOMPARE(ResolveRecordDir("", "", "/cwd", "/home/u"), QString());

        // RecordDir= in the settings file, as a user writes it; the folder is
        // made at the start and the log names the file.
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString settingsFile = QSettings().fileName();
        QVERIFY(QDir().mkpath(QFileInfo(settingsFile).path()));
        auto restore = qScopeGuard([&] {
            QFile::remove(settingsFile);
            SetChosenRecordingDir({});
        });
        const auto writeSettings = [&](const QString& dir) {
            QFile f(settingsFile);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write("[General]\nRecordDir=" + dir.toUtf8() + "\n");
        };
        const auto startsIn = [&](const QString& dir) {
            CTovrelDlg dlg;
            dlg.Create();
            qobject_cast<QPushButton*>(dlg.GetDlgItem(IDC_BUTTON_SAVEFILE))->click();
            const QString line = LastLogText(dlg);
            qobject_cast<QPushButton*>(dlg.GetDlgItem(IDC_BUTTON_STOPSAVE))->click();
            return QRegularExpression(QStringLiteral("^开始保存文件\\(") +
                                      QRegularExpression::escape(dir) +
                                      QStringLiteral("/\\d{14}\\.txt\\)$"))
                           .match(line)
                           .hasMatch()
                       ? QString()
                       : line;
        };
        const QString fromSettings = tmp.filePath(QStringLiteral("设置/rec"));
        writeSettings(fromSettings);
        ApplyRecordingDirChoice(QString());
        QCOMPARE(QString::fromStdString(RecordingDir()), fromSettings + u'/');
        QCOMPARE(startsIn(fromSettings), QString());

        // --record-dir overrides it.
        const QString fromCommandLine = tmp.filePath(QStringLiteral("cli"));
        ApplyRecordingDirChoice(fromCommandLine);
        QCOMPARE(startsIn(fromCommandLine), QString());
        QCOMPARE(QDir(fromSettings).entryList({QStringLiteral("*.txt")}).size(), 1);
        QCOMPARE(QDir(fromCommandLine).entryList({QStringLiteral("*.txt")}).size(), 1);

        // A folder that cannot be made: the start fails and the log says so.
        QFile blocker(tmp.filePath(QStringLiteral("file")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        writeSettings(blocker.fileName() + QStringLiteral("/rec"));
        ApplyRecordingDirChoice(QString());
        const QString failed = startsIn(blocker.fileName() + QStringLiteral("/rec"));
        QVERIFY2(failed.startsWith(QStringLiteral("文件(") + blocker.fileName() +
                                   QStringLiteral("/rec/")) &&
                     failed.contains(QStringLiteral(")打开失败,错误号")),
                 qPrintable(failed));

        // Without a choice the rule stands: beside the program in a build.
        QFile::remove(settingsFile);
        ApplyRecordingDirChoice(QString());
        QCOMPARE(RecordingDir(), GetModuleDir());
    }

    void minimisedIconIsCentredRoundingUp() {
        QCOMPARE(MinimizedIconPosition(QSize(36, 36), QSize(32, 32)), QPoint(2, 2));
        QCOMPARE(MinimizedIconPosition(QSize(37, 37), QSize(32, 32)), QPoint(3, 3));
        QCOMPARE(MinimizedIconPosition(QSize(20, 40), QSize(32, 32)), QPoint(-5, 4));
    }

    void languageIsTheFirstPreferredOfChineseAndEnglish() {
        using L = EUiLanguage;
        const struct {
            QStringList tags;
            L language;
        } cases[] = {
            {{"en-US", "en-Latn-US", "en"}, L::English},
            {{"en_GB.UTF-8"}, L::English},
            {{"EN"}, L::English},
            {{"zh-CN", "zh-Hans-CN", "zh"}, L::Chinese},
            {{"zh-CN", "en"}, L::Chinese},
            {{"C"}, L::Chinese},
            {{"POSIX", "en"}, L::Chinese},
            {{}, L::Chinese},
            {{"de-DE", "de"}, L::Chinese},
            {{"de", "de-DE", "en", "en-US"}, L::English}, // LANGUAGE=de:en
        };
        for (const auto& c : cases)
            QVERIFY2(UiLanguageFor(c.tags) == c.language, qPrintable(c.tags.join(u',')));
        // However the machine running the tests is set, they see the panel in Chinese.
        QCOMPARE(SystemUiLanguage(), L::Chinese);
    }

    // The language a program finds at its start in the environment a user
    // gives it: this program again, told what to expect.
    void systemLanguageFollowsTheEnvironment() {
        const char kExpect[] = "TOVREL_TEST_EXPECTED_LANGUAGE";
        if (qEnvironmentVariableIsSet(kExpect)) {
            const bool english = SystemUiLanguage() == EUiLanguage::English;
            QCOMPARE(QByteArray(english ? "en" : "zh"), qgetenv(kExpect));
            return;
        }
        const struct {
            const char* lang;
            const char* lcMessages;
            const char* lcAll;
            const char* language;
            const char* expected;
        } cases[] = {
            {"en_US.UTF-8", "", "", "", "en"},
            {"en_GB.UTF-8", "", "", "en_GB:en", "en"},
            {"zh_CN.UTF-8", "", "", "", "zh"},
            {"C", "", "", "", "zh"},
            {"POSIX", "", "", "", "zh"},
            {"", "", "", "", "zh"},
            {"zh_CN.UTF-8", "", "", "en", "en"},
            {"en_US.UTF-8", "zh_CN.UTF-8", "", "", "zh"},
            {"en_US.UTF-8", "", "C.UTF-8", "", "zh"},
        };
        for (const auto& c : cases) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            for (const char* var : {"LANG", "LC_MESSAGES", "LC_ALL", "LANGUAGE"})
                env.remove(QString::fromLatin1(var));
            const std::pair<const char*, const char*> vars[] = {{"LANG", c.lang},
                                                                {"LC_MESSAGES", c.lcMessages},
                                                                {"LC_ALL", c.lcAll},
                                                                {"LANGUAGE", c.language}};
            for (const auto& [var, value] : vars)
                if (*value)
                    env.insert(QString::fromLatin1(var), QString::fromLatin1(value));
            env.insert(QString::fromLatin1(kExpect), QString::fromLatin1(c.expected));
            QProcess child;
            child.setProcessEnvironment(env);
            child.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("systemLanguageFollowsTheEnvironment")});
            QVERIFY(child.waitForFinished(60000));
            QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                     qPrintable(QStringLiteral("LANG=%1 LC_MESSAGES=%2 LC_ALL=%3 LANGUAGE=%4: %5")
                                    .arg(c.lang, c.lcMessages, c.lcAll, c.language,
                                         QString::fromLocal8Bit(child.readAllStandardOutput()))));
        }
    }

    void englishInterfaceShowsNoChinese() {
        QStringList texts;
        {
            SLanguageScope english(EUiLanguage::English);
            QVERIFY(english.installed);
            PanelFixture fixture;
            CTovrelDlg& dlg = fixture.dlg;
            QCOMPARE(dlg.windowTitle(),
                     QStringLiteral("Multi-parameter Electrophysiology Acquisition V1.1.2"));
            // The same text, two translations; labels shortened to fit name
            // the control in full in their tooltip, and only those.
            QCOMPARE(dlg.Controls().Item<QPushButton>(IDC_BUTTON_AMPLIFY)->text(),
                     QStringLiteral("Set gains"));
            QStringList titles;
            for (QGroupBox* g : dlg.findChildren<QGroupBox*>())
                titles << g->title();
            QVERIFY(titles.contains(QStringLiteral("Pulse gains")));
            QCOMPARE(dlg.GetDlgItem(IDC_RADIO_CALIB)->toolTip(),
                     QStringLiteral("Calibration mode"));
            QCOMPARE(dlg.GetDlgItem(IDC_BUTTON_START)->toolTip(), QStringLiteral("Start sampling"));
            QVERIFY(dlg.GetDlgItem(IDC_BUTTON_DOWNLOAD)->toolTip().isEmpty());
            texts = AllTexts(&dlg);
            QVERIFY(texts.contains(QStringLiteral("QMenu &About Tovrel...")));

            CAboutDlg about;
            about.Create();
            texts += AllTexts(&about);

            // Every prompt of the data exchange.
            auto* gain1 = dlg.Controls().Item<QLineEdit>(IDC_EDIT_GAIN1);
            for (const char* entry : {"300", "abc"}) {
                gain1->setText(QString::fromLatin1(entry));
                QVERIFY(!dlg.UpdateData(true));
            }
            gain1->setText(QStringLiteral("0"));
            dlg.Controls().Item<QLineEdit>(IDC_EDIT_COEF1)->setText(QStringLiteral("x"));
            QVERIFY(!dlg.UpdateData(true));
            QCOMPARE(m_boxes,
                     QStringList({QStringLiteral("Please enter an integer between 0 and 127."),
                                  QStringLiteral("Please enter a positive integer."),
                                  QStringLiteral("Please enter an integer.")}));
            texts += m_boxes;
        }
        for (const QString& t : texts)
            QVERIFY2(FirstCjk(t).isNull(), qPrintable(t));

        // Out of the English scope the panel is as it always was: the
        // templates' texts as written, no tooltips.
        CTovrelDlg dlg;
        dlg.Create();
        QCOMPARE(dlg.windowTitle(), QStringLiteral("电生理多参数采集软件V1.1.2"));
        for (QWidget* w : dlg.findChildren<QWidget*>())
            QVERIFY2(w->toolTip().isEmpty(), qPrintable(w->toolTip()));
        const auto& controls = PanelTemplate().controls;
        const auto& widgets = dlg.Controls().InTemplateOrder();
        int compared = 0;
        for (size_t i = 0; i < controls.size(); ++i) {
            QString shown;
            if (auto* b = qobject_cast<QAbstractButton*>(widgets[i]))
                shown = b->text();
            else if (auto* g = qobject_cast<QGroupBox*>(widgets[i]))
                shown = g->title();
            else if (auto* l = qobject_cast<QLabel*>(widgets[i]))
                shown = l->text();
            else
                continue;
            QCOMPARE(shown, QString::fromUtf8(controls[i].text));
            ++compared;
        }
        QCOMPARE(compared, 26); // the readouts have taken the places of their statics
    }

    // Every control's text lies inside the room its style gives it, in the
    // control's own font (a text set narrower to fit is no narrower than
    // kMinTextStretch allows), and every group box's title shows whole and
    // uncovered. Run again by ctest at 200 % (QT_SCALE_FACTOR=2).
    void textsFitTheirControlsAndNothingCoversATitle_data() {
        QTest::addColumn<bool>("english");
        QTest::newRow("Chinese") << false;
        QTest::newRow("English") << true;
    }
    void textsFitTheirControlsAndNothingCoversATitle() {
        QFETCH(bool, english);
        SLanguageScope language(english ? EUiLanguage::English : EUiLanguage::Chinese);
        QVERIFY(language.installed);
        PanelFixture fixture;
        CAboutDlg about;
        about.Create();
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&fixture.dlg) && QTest::qWaitForWindowExposed(&about));
        int texts = 0, titles = 0;
        for (QDialog* window :
             {static_cast<QDialog*>(&fixture.dlg), static_cast<QDialog*>(&about)}) {
            const QImage shown = window->grab().toImage();
            for (QWidget* w :
                 window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
                if (!w->isVisible())
                    continue;
                const int stretch = w->font().stretch();
                QVERIFY(stretch == QFont::AnyStretch || stretch >= kMinTextStretch);
                if (auto* g = qobject_cast<QGroupBox*>(w)) {
                    const QString problem = TitleProblem(shown, g);
                    QVERIFY2(problem.isEmpty(),
                             qPrintable(g->title() + QStringLiteral(": ") + problem));
                    ++titles;
                    continue;
                }
                QString text;
                const QRect room = TextRoom(w, &text);
                if (text.isEmpty())
                    continue;
                ++texts;
                // Across, the wider of the text's advance and its ink fits its
                // room; its ink shows there whole, across and up and down (a
                // label's line is taller than the label; only the ink must fit).
                const QFontMetricsF fm(w->font());
                const qreal across =
                    std::max(fm.horizontalAdvance(text), fm.tightBoundingRect(text).right());
                QVERIFY2(across <= room.width(), qPrintable(QStringLiteral("%1: %2 px across in %3")
                                                                .arg(text)
                                                                .arg(across)
                                                                .arg(room.width())));
                const QString cut = CutProblem(w, text, room);
                QVERIFY2(cut.isEmpty(), qPrintable(text + QStringLiteral(": ") + cut));
            }
        }
        // The panel's 9 buttons, 2 radio buttons and 5 labels, the About box's label and button.
        QCOMPARE(texts, 18);
        QCOMPARE(titles, 10);
    }

    void everyTranslationIsFinishedAndKeepsItsPlaceholders() {
        QFile ts(QStringLiteral(TOVREL_TS_FILE));
        QVERIFY(ts.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&ts);
        static const QRegularExpression placeholder(QStringLiteral("%(\\d+|[a-z])"));
        auto placeholders = [](const QString& text) {
            QStringList found;
            for (const auto& m : placeholder.globalMatch(text))
                found << m.captured();
            return found;
        };
        int messages = 0;
        QString context, source;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == u"name")
                context = xml.readElementText();
            else if (xml.name() == u"source")
                source = xml.readElementText();
            else if (xml.name() == u"translation") {
                const bool unfinished =
                    xml.attributes().value(QStringLiteral("type")) == u"unfinished";
                const QString translation = xml.readElementText();
                const QString what = context + u' ' + source;
                QVERIFY2(!unfinished && !translation.isEmpty(), qPrintable(what));
                QVERIFY2(FirstCjk(translation).isNull(), qPrintable(what));
                // The arguments go in somewhere, in any order; printf's stay in theirs.
                QStringList want = placeholders(source), have = placeholders(translation);
                if (!source.contains(u"%d")) {
                    want.sort();
                    have.sort();
                }
                QVERIFY2(want == have, qPrintable(what + u' ' + translation));
                ++messages;
            }
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QVERIFY(messages >= 64); // every text of the panel: more come, none go
    }
};

QTEST_MAIN(TestPanelShell)
#include "tst_panel_shell.moc"
