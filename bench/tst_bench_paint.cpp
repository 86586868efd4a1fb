// The strip's band repaint, the figure the benchmark reports most often, draws
// only the points near the band. It must leave exactly the pixels a full paint
// leaves there, whatever the extents, the fill and the band.
#include "display/DrawWave3Wnd.h"
#include "display/WaveMath.h"

#include <QImage>
#include <QTest>

class TestBenchPaint : public QObject {
    Q_OBJECT
private slots:
    void bandPaintMatchesFullPaint() {
        QWidget panel;
        panel.resize(320, 120);
        CDrawWave3Wnd strip;
        strip.Create(&panel, QRect(5, 5, 300, 100), 100);
        const int w = strip.width(), h = strip.height();
        QImage full(strip.size(), QImage::Format_ARGB32);
        QImage part(strip.size(), QImage::Format_ARGB32);
        struct Ext {
            int wx, wy, vx, vy;
        };
        // Default, two samples a column, three columns a sample, x running
        // right to left, y running down.
        for (Ext e : {Ext{100, -100, 100, 50}, Ext{200, -100, 100, 50}, Ext{100, -100, 300, 50},
                      Ext{-100, -100, 100, 50}, Ext{100, 100, 100, 50}}) {
            strip.SetExtents(e.wx, e.wy, e.vx, e.vy);
            uint16_t value = 17;
            for (int fill : {2, 3, 150, 700}) {
                for (int i = 0; i < fill; ++i) {
                    value = uint16_t((value * 37 + 11) % 200); // jumps up and down
                    strip.AddSample(value);
                }
                full.fill(Qt::magenta);
                strip.render(&full);
                for (int bw : {1, 8, 23}) {
                    for (int x = -bw + 1; x < w; ++x) {
                        const QRect band = QRect(x, 0, bw, h) & strip.rect();
                        part.fill(Qt::magenta);
                        strip.render(&part, band.topLeft(), QRegion(band));
                        for (int y = 0; y < h; ++y)
                            for (int c = band.left(); c <= band.right(); ++c)
                                if (part.pixel(c, y) != full.pixel(c, y))
                                    QFAIL(qPrintable(QStringLiteral("extents %1,%2 fill %3 band "
                                                                    "%4+%5: pixel %6,%7 differs")
                                                         .arg(e.wx)
                                                         .arg(e.vx)
                                                         .arg(fill)
                                                         .arg(x)
                                                         .arg(bw)
                                                         .arg(c)
                                                         .arg(y)));
                    }
                }
            }
        }
    }

    void columnSpan() {
        const CWaveMapping map(100, -100, 100, 50, QSize(300, 100));
        // Columns 100..107 need the points from two before to two after, and
        // the segments reaching in: 97..110.
        CWaveSpan s = WaveColumnSpan(map, 300, 100, 107);
        QCOMPARE(s.from, 97);
        QCOMPARE(s.to, 110);
        // Clamped at the ends of the trace.
        s = WaveColumnSpan(map, 50, 0, 7);
        QCOMPARE(s.from, 0);
        QCOMPARE(s.to, 10);
        s = WaveColumnSpan(map, 50, 100, 107);
        QVERIFY(s.to - s.from + 1 < 2); // nothing of the trace there
        // x falling with k: every point is kept.
        const CWaveMapping mirrored(-100, -100, 100, 50, QSize(300, 100));
        s = WaveColumnSpan(mirrored, 300, 100, 107);
        QCOMPARE(s.from, 0);
        QCOMPARE(s.to, 299);
        s = WaveColumnSpan(map, 0, 0, 7);
        QVERIFY(s.to < s.from);
    }
};

QTEST_MAIN(TestBenchPaint)
#include "tst_bench_paint.moc"
