// The strip windows and readouts as parts of the panel: where they sit, and
// that what a second thread feeds them shows up where it should.
#include "resources/Resource.h"
#include "shell/TovrelDlg.h"
#include "support/panelsupport.h"
#include "support/testsupport.h"

#include <QtTest>
#include <thread>

class TestPanelDisplay : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { InitPanelTestApp(); }

    void stripsAndReadoutsTakeTheirPlaces() {
        CTovrelDlg dlg;
        dlg.Create();
        const CDrawWave3Wnd* waves[] = {&dlg.m_wavePulse1, &dlg.m_wavePulse2, &dlg.m_waveEcg,
                                        &dlg.m_waveHeartSound};
        const int frames[] = {IDC_FRAME_PULSE1, IDC_FRAME_PULSE2, IDC_FRAME_ECG,
                              IDC_FRAME_HEARTSOUND};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(waves[i]->parentWidget(), &dlg);
            QCOMPARE(waves[i]->geometry(), dlg.GetDlgItem(frames[i])->geometry());
            QVERIFY(dlg.GetDlgItem(frames[i])->isVisibleTo(&dlg)); // the frame stays
            QVERIFY(IsWindow(waves[i]->m_hWnd));
        }
        QCOMPARE(dlg.GetDlgItem(IDC_STATIC_PRESS1), &dlg.m_infoPress1);
        QCOMPARE(dlg.GetDlgItem(IDC_STATIC_PRESS2), &dlg.m_infoPress2);
        QCOMPARE(dlg.m_infoPress1.geometry(), QRect(509, 24, 103, 33));
        QCOMPARE(dlg.m_infoPress2.geometry(), QRect(509, 77, 103, 36));
    }

    void aSecondThreadsSamplesAndValuesShowOnThePanel() {
        CTovrelDlg dlg;
        dlg.Create();
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const QImage before = dlg.grab().toImage();
        const QPoint p1 = dlg.m_wavePulse1.pos();
        // Empty strips are black, readouts navy with "0" in light yellow.
        QCOMPARE(QColor(before.pixel(p1 + QPoint(100, 40))), QColor(Qt::black));
        QCOMPARE(QColor(before.pixel(dlg.m_infoPress1.pos() + QPoint(100, 2))), QColor(0, 0, 128));

        std::thread worker([&] {
            for (int k = 0; k < 300; ++k) {
                dlg.m_wavePulse1.AddSample(40); // row 83 - 20 = 63
                dlg.m_waveEcg.AddSample(k % 2 ? 100 : 100);
            }
            dlg.m_infoPress1.m_iValue = 4660;
            InvalidateRect(dlg.m_infoPress1.m_hWnd, nullptr, false);
            dlg.m_infoPress2.m_iValue = -12;
            InvalidateRect(dlg.m_infoPress2.m_hWnd, nullptr, false);
        });
        worker.join();
        EventLoopPassesUntilIdle(); // the requested repaints
        const QImage after = dlg.grab().toImage();
        const int h = dlg.m_wavePulse1.height();
        for (int x : {1, 150, 298})
            QCOMPARE(QColor(after.pixel(p1 + QPoint(x, h - 1 - 20))), QColor(Qt::white));
        QCOMPARE(QColor(after.pixel(p1 + QPoint(350, h - 1 - 20))), QColor(Qt::black));
        const QPoint e = dlg.m_waveEcg.pos();
        QCOMPARE(QColor(after.pixel(e + QPoint(100, h - 1 - 50))), QColor(Qt::white));
        QCOMPARE(QString::fromLatin1(dlg.m_infoPress1.m_szText), QStringLiteral("4660"));
        QCOMPARE(QString::fromLatin1(dlg.m_infoPress2.m_szText), QStringLiteral("-12"));
        // Some light-yellow digit pixels inside the first readout.
        int yellow = 0;
        const QRect r1 = dlg.m_infoPress1.geometry();
        for (int y = r1.top(); y <= r1.bottom(); ++y)
            for (int x = r1.left(); x <= r1.right(); ++x)
                yellow += QColor(after.pixel(x, y)) == QColor(255, 255, 128);
        QVERIFY(yellow > 50);
    }

    void samplesAfterTheRunEndedChangeNothing() {
        CTovrelDlg dlg;
        dlg.Create();
        dlg.show();
        dlg.reject();
        for (const CDrawWave3Wnd* w :
             {&dlg.m_wavePulse1, &dlg.m_wavePulse2, &dlg.m_waveEcg, &dlg.m_waveHeartSound})
            QVERIFY(!IsWindow(w->m_hWnd));
        QVERIFY(!IsWindow(dlg.m_infoPress1.m_hWnd) && !IsWindow(dlg.m_infoPress2.m_hWnd));
        dlg.m_wavePulse1.AddSample(10); // dropped: the window is gone
        InvalidateRect(dlg.m_infoPress1.m_hWnd, nullptr, false);
    }
};

QTEST_MAIN(TestPanelDisplay)
#include "tst_panel_display.moc"
