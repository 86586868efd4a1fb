// The panel as the operator first sees it, its system menu, its keyboard and
// its data exchange.
#include "platform/MessageBox.h"
#include "platform/SystemMenu.h"
#include "resources/Resource.h"
#include "shell/AboutDlg.h"
#include "shell/TovrelDlg.h"
#include "support/panelsupport.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
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

    void minimisedIconIsCentredRoundingUp() {
        QCOMPARE(MinimizedIconPosition(QSize(36, 36), QSize(32, 32)), QPoint(2, 2));
        QCOMPARE(MinimizedIconPosition(QSize(37, 37), QSize(32, 32)), QPoint(3, 3));
        QCOMPARE(MinimizedIconPosition(QSize(20, 40), QSize(32, 32)), QPoint(-5, 4));
    }
};

QTEST_MAIN(TestPanelShell)
#include "tst_panel_shell.moc"
