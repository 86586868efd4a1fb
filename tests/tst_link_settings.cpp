#include "platform/SerialControl.h"

#include <QTest>

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void good_data();
    void good();
    void malformed_data();
    void malformed();
};

void TestSettings::good_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("data");
    QTest::addColumn<int>("stop");

    QTest::newRow("device line") << "926000,n,8,1" << 926000 << int(QSerialPort::NoParity) << 8
                                 << int(QSerialPort::OneStop);
    QTest::newRow("standard") << "9600,E,7,2" << 9600 << int(QSerialPort::EvenParity) << 7
                              << int(QSerialPort::TwoStop);
    QTest::newRow("odd, 1.5 stop") << "300,o,5,1.5" << 300 << int(QSerialPort::OddParity) << 5
                                   << int(QSerialPort::OneAndHalfStop);
    QTest::newRow("mark") << "115200,m,6,1" << 115200 << int(QSerialPort::MarkParity) << 6
                          << int(QSerialPort::OneStop);
    QTest::newRow("space, spaces around") << " 1 , s , 8 , 2 " << 1 << int(QSerialPort::SpaceParity)
                                          << 8 << int(QSerialPort::TwoStop);
}

void TestSettings::good() {
    QFETCH(QString, text);
    const auto s = ParseSerialSettings(text);
    QVERIFY(s);
    QFETCH(int, baud);
    QFETCH(int, parity);
    QFETCH(int, data);
    QFETCH(int, stop);
    QCOMPARE(s->baud, baud);
    QCOMPARE(int(s->parity), parity);
    QCOMPARE(int(s->dataBits), data);
    QCOMPARE(int(s->stopBits), stop);
}

void TestSettings::malformed_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("three fields") << "926000,n,8";
    QTest::newRow("five fields") << "926000,n,8,1,x";
    QTest::newRow("zero baud") << "0,n,8,1";
    QTest::newRow("negative baud") << "-9600,n,8,1";
    QTest::newRow("signed baud") << "+9600,n,8,1";
    QTest::newRow("baud not a number") << "fast,n,8,1";
    QTest::newRow("fractional baud") << "9600.5,n,8,1";
    QTest::newRow("baud too large") << "99999999999,n,8,1";
    QTest::newRow("parity word") << "9600,none,8,1";
    QTest::newRow("parity unknown") << "9600,x,8,1";
    QTest::newRow("data 4") << "9600,n,4,1";
    QTest::newRow("data 9") << "9600,n,9,1";
    QTest::newRow("stop 0") << "9600,n,8,0";
    QTest::newRow("stop 3") << "9600,n,8,3";
    QTest::newRow("stop 1.0") << "9600,n,8,1.0";
    QTest::newRow("missing field") << "9600,,8,1";
}

void TestSettings::malformed() {
    QFETCH(QString, text);
    QVERIFY(!ParseSerialSettings(text));
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_link_settings.moc"
