#include "link/CommandFrame.h"

#include <QTest>

class TestFrames : public QObject {
    Q_OBJECT
private slots:
    void frames_data();
    void frames();
    void checksumWrapsAndArgumentsKeepLowByte();
};

void TestFrames::frames_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("coefficients 100 100")
        << BuildCommandFrame(kCmdDownloadCoef, 100, 100) << QByteArray::fromHex("F0416464F9");
    QTest::newRow("coefficients 200 200")
        << BuildCommandFrame(kCmdDownloadCoef, 200, 200) << QByteArray::fromHex("F041C8C8C1");
    QTest::newRow("coefficients 0 0")
        << BuildCommandFrame(kCmdDownloadCoef, 0, 0) << QByteArray::fromHex("F041000031");
    QTest::newRow("gains 127 0") << BuildCommandFrame(kCmdAmplify, 127, 0)
                                 << QByteArray::fromHex("F0347F00A3");
    QTest::newRow("gains 127 127")
        << BuildCommandFrame(kCmdAmplify, 127, 127) << QByteArray::fromHex("F0347F7F22");
    QTest::newRow("gains 0 0") << BuildCommandFrame(kCmdAmplify, 0, 0)
                               << QByteArray::fromHex("F034000024");
    QTest::newRow("calibration mode")
        << BuildCommandFrame(kCmdCalibMode) << QByteArray::fromHex("F04A3A");
    QTest::newRow("start sampling")
        << BuildCommandFrame(kCmdStartSample) << QByteArray::fromHex("F03222");
    QTest::newRow("stop sampling")
        << BuildCommandFrame(kCmdStopSample) << QByteArray::fromHex("F03323");
    QTest::newRow("zero") << BuildCommandFrame(kCmdZero) << QByteArray::fromHex("F04030");
}

void TestFrames::frames() {
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, expected);
    QCOMPARE(frame.toHex(' '), expected.toHex(' '));
}

void TestFrames::checksumWrapsAndArgumentsKeepLowByte() {
    // 0x1FF -> FF, 0x12345 -> 45; sum F0+41+FF+45 = 0x275 -> 75
    QCOMPARE(BuildCommandFrame(kCmdDownloadCoef, 0x1FF, 0x12345).toHex(' '),
             QByteArray::fromHex("F041FF4575").toHex(' '));
    // A negative value passed through still contributes only its low byte.
    QCOMPARE(BuildCommandFrame(kCmdAmplify, static_cast<std::uint32_t>(-1), 0).toHex(' '),
             QByteArray::fromHex("F034FF0023").toHex(' '));
    QCOMPARE(FrameChecksum(QByteArray::fromHex("FFFF02")), std::uint8_t(0x00));
}

QTEST_GUILESS_MAIN(TestFrames)
#include "tst_link_frames.moc"
