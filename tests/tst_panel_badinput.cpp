// Bad input of every kind at the panel's edges: entries that are no numbers
// or too large, pressure coefficients of 0, streams that are not the
// device's records or come in bursts, a recording folder that refuses files,
// and port links that lead nowhere useful. Each gets its designed outcome or
// a clear message; none may crash, hang or lose what the design keeps.
#include "acquisition/Recorder.h"
#include "platform/DataExchange.h"
#include "platform/MessageBox.h"
#include "platform/PortMap.h"
#include "resources/Resource.h"
#include "shell/TovrelDlg.h"
#include "support/panelsupport.h"
#include "support/pty.h"
#include "support/testsupport.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kStreamPort = 15;
constexpr int kLinkPort = 13;

QStringList LogTexts(const CTovrelDlg& dlg) {
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d: "));
    QStringList texts;
    for (const QString& line :
         dlg.m_editHistory.GetWindowText().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = stamp.match(line);
        texts << (m.hasMatch() ? line.mid(m.capturedLength()) : line);
    }
    return texts;
}

// A command frame as the device expects it: F0, command, arguments, 8-bit sum.
QByteArray Frame(uint8_t command, uint8_t a, uint8_t b) {
    QByteArray f;
    f.append(char(0xF0)).append(char(command)).append(char(a)).append(char(b));
    f.append(char((0xF0 + command + a + b) & 0xFF));
    return f;
}

// A device record: running number, marker, four samples, two pressures, sum.
// The values are chosen so that no byte is the marker by accident.
QByteArray DeviceRecord(int k, uint16_t p1 = 0x1234, uint16_t p2 = 0x5678) {
    const uint16_t words[] = {uint16_t(0x1000 + (k % 200) * 16), 0x2020, 0x4141, 0x0505, p1, p2};
    QByteArray r(kRecordSize, '\0');
    r[0] = char(k & 0x3F); // keeps clear of 0x3A as well
    r[1] = char(kRecordMarker);
    for (int i = 0; i < 6; ++i) {
        r[2 + 2 * i] = char(words[i] >> 8);
        r[3 + 2 * i] = char(words[i] & 0xFF);
    }
    unsigned sum = 0;
    for (int i = 0; i < kRecordSize - 1; ++i)
        sum += uint8_t(r[i]);
    r[kRecordSize - 1] = char(sum & 0xFF);
    return r;
}

QByteArray DeviceStream(int records, uint16_t p1 = 0x1234, uint16_t p2 = 0x5678) {
    QByteArray s;
    for (int k = 0; k < records; ++k)
        s += DeviceRecord(k, p1, p2);
    return s;
}

struct Panel : PanelFixture {
    QLineEdit* Field(int id) { return dlg.Controls().Item<QLineEdit>(id); }
    bool WorkerIdle() const {
        // Bytes kept from a port just closed are still to come.
        if (dlg.m_feed.Kept() > 0 || dlg.m_feed.Pending() || dlg.m_recv.FlushPending())
            return false;
        for (int i = 0; i < kRecvBufCount; ++i)
            if (dlg.m_recv.IsReady(i))
                return false;
        return true;
    }
    // Sends bytes as the device and waits until the panel has read them and
    // its worker holds no buffer, as a device that keeps to the line's pace
    // lets it.
    bool Feed(TestPty& com, const QByteArray& bytes) {
        return com.WriteDelivered(bytes) &&
               QTest::qWaitFor([&] { return com.SlaveInputWaiting() == 0 && WorkerIdle(); }, 20000);
    }
};

// Recording files in dir (named by their start time).
QStringList Recordings(const QString& dir) {
    return QDir(dir).entryList({QStringLiteral("*.txt")}, QDir::Files);
}

bool CanCreateFileIn(const QString& dir) {
    const QByteArray probe = QFile::encodeName(QDir(dir).filePath(QStringLiteral(".probe")));
    const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlink(probe.constData());
    return true;
}

} // namespace

class TestPanelBadInput : public QObject {
    Q_OBJECT
    QStringList m_boxes;

private slots:
    void initTestCase() { InitPanelTestApp(&m_boxes); }
    void init() { m_boxes.clear(); }
    void cleanup() { SetRecordingDir(std::string()); }

    // ------------------------------------------------------------ entries

    void entries_data() {
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("prompt"); // empty: the entry is taken
        QTest::addColumn<int>("value");      // what goes out when taken

        const QString integer = PromptInteger(), positive = PromptUnsigned();
        const QString coefRange = PromptRange(0, 200), gainRange = PromptRange(0, 127);
        const int c1 = IDC_EDIT_COEF1, c2 = IDC_EDIT_COEF2, g1 = IDC_EDIT_GAIN1,
                  g2 = IDC_EDIT_GAIN2;

        QTest::newRow("letters") << c1 << "abc" << integer << 0;
        QTest::newRow("digits then letters") << c1 << "12a" << integer << 0;
        QTest::newRow("blank inside") << g1 << "1 2" << positive << 0;
        QTest::newRow("hexadecimal") << g2 << "0x10" << positive << 0;
        QTest::newRow("exponent") << c2 << "1e2" << integer << 0;
        QTest::newRow("decimal point") << g1 << "5.0" << positive << 0;
        QTest::newRow("full-width digits") << c1 << "１２" << integer << 0;
        QTest::newRow("sign alone") << c2 << "-" << integer << 0;
        QTest::newRow("two signs") << g2 << "+-5" << positive << 0;
        QTest::newRow("NUL inside") << c1 << QString::fromUtf8("5\0", 2) << integer << 0;
        QTest::newRow("empty") << c1 << "" << integer << 0;
        QTest::newRow("blanks") << g1 << "   " << positive << 0;
        QTest::newRow("plus sign") << c1 << "+5"
                                   << "" << 5;
        QTest::newRow("minus zero") << c2 << "-0"
                                    << "" << 0;
        QTest::newRow("minus zero gain") << g1 << "-0"
                                         << "" << 0;
        QTest::newRow("blanks around") << g2 << " 9 "
                                       << "" << 9;
        QTest::newRow("beyond 32 bits") << c1 << "4294967296" << integer << 0;
        QTest::newRow("beyond 32 bits, gain") << g1 << "4294967296" << positive << 0;
        QTest::newRow("far beyond 64 bits") << c2 << "99999999999999999999999" << integer << 0;
        QTest::newRow("lowest 32-bit") << c2 << "-2147483648" << coefRange << 0;
        QTest::newRow("below 32 bits") << c2 << "-2147483649" << integer << 0;
        QTest::newRow("highest unsigned") << g2 << "4294967295" << gainRange << 0;
        QTest::newRow("negative gain") << g1 << "-1" << gainRange << 0;
        QTest::newRow("1000 digits") << c1 << QString(1000, u'1') << integer << 0;
        QTest::newRow("1000 letters") << g2 << QString(1000, u'x') << positive << 0;
        QTest::newRow("999 zeros and a 7") << g1 << QString(999, u'0') + u'7' << "" << 7;
        QTest::newRow("999 blanks and a 5") << c2 << QString(999, u' ') + u'5' << "" << 5;
    }
    // Each entry goes through the button that reads it: a refused one
    // prompts once, selects the field's text and sends and logs nothing; a
    // taken one goes out as typed. Either way the panel goes on working.
    void entries() {
        QFETCH(int, field);
        QFETCH(QString, text);
        QFETCH(QString, prompt);
        QFETCH(int, value);
        const bool gain = field == IDC_EDIT_GAIN1 || field == IDC_EDIT_GAIN2;
        const int button = gain ? IDC_BUTTON_AMPLIFY : IDC_BUTTON_DOWNLOAD;

        TestPty com;
        QVERIFY(com.LinkAsCom(kStreamPort));
        Panel p;
        p.Select(kStreamPort);
        p.Press(IDC_BUTTON_OPENPORT);
        QCOMPARE(p.dlg.m_bPortOpen, 1);
        const int logBefore = int(LogTexts(p.dlg).size());
        int in[4] = {50, 60, 7, 8};
        const int ids[4] = {IDC_EDIT_COEF1, IDC_EDIT_COEF2, IDC_EDIT_GAIN1, IDC_EDIT_GAIN2};
        for (int i = 0; i < 4; ++i) {
            p.Field(ids[i])->setText(QString::number(in[i]));
            if (ids[i] == field)
                in[i] = value;
        }
        p.Field(field)->setText(text);
        p.Press(button);

        const QStringList newLog = LogTexts(p.dlg).mid(logBefore);
        const QByteArray sent = com.Read(5, 300);
        if (!prompt.isEmpty()) {
            QCOMPARE(m_boxes, QStringList{prompt});
            QVERIFY(sent.isEmpty());
            QVERIFY(newLog.isEmpty());
            QCOMPARE(p.Field(field)->selectedText(), p.Field(field)->text());
            // Corrected, the same press goes through.
            m_boxes.clear();
            p.Field(field)->setText(QStringLiteral("3"));
            p.Press(button);
            QVERIFY(m_boxes.isEmpty());
            QCOMPARE(com.Read(5).size(), 5);
            return;
        }
        QVERIFY2(m_boxes.isEmpty(), qPrintable(m_boxes.join('\n')));
        if (gain) {
            QCOMPARE(sent, Frame(0x34, uint8_t(in[2]), uint8_t(in[3])));
            QCOMPARE(newLog,
                     QStringList{QStringLiteral("脉搏1放大倍数设置为%1,脉搏2放大倍数设置为%2")
                                     .arg(in[2])
                                     .arg(in[3])});
        } else {
            QCOMPARE(sent, Frame(0x41, uint8_t(in[0]), uint8_t(in[1])));
            QCOMPARE(newLog,
                     QStringList{QStringLiteral("设定标定压力系数1为%1,设定标定压力系数2为%2")
                                     .arg(in[0])
                                     .arg(in[1])});
        }
    }

    // ------------------------------------------------- coefficients of zero

    void zeroCoefficients_data() {
        QTest::addColumn<int>("coef1");
        QTest::addColumn<int>("coef2");
        QTest::newRow("both 0") << 0 << 0;
        QTest::newRow("one 0") << 7 << 0;
    }
    // In calibration mode a coefficient of 0 divides nothing: that channel
    // shows its raw pressure, the log line says so, and decoding goes on.
    void zeroCoefficients() {
        QFETCH(int, coef1);
        QFETCH(int, coef2);
        TestPty com;
        QVERIFY(com.LinkAsCom(kStreamPort));
        Panel p;
        p.Select(kStreamPort);
        p.Press(IDC_BUTTON_OPENPORT);
        p.Press(IDC_BUTTON_ZERO);
        p.Press(IDC_RADIO_CALIB);
        p.Field(IDC_EDIT_COEF1)->setText(QString::number(coef1));
        p.Field(IDC_EDIT_COEF2)->setText(QString::number(coef2));
        p.Press(IDC_BUTTON_DOWNLOAD);
        p.Press(IDC_BUTTON_START);
        QVERIFY(m_boxes.isEmpty());
        QCOMPARE(p.dlg.m_iPressCoef1.load(), coef1);
        QCOMPARE(p.dlg.m_iPressCoef2.load(), coef2);

        const int raw1 = 12345, raw2 = 678;
        const QByteArray stream = DeviceStream(34 * 12, raw1, raw2);
        for (qsizetype at = 0; at < stream.size(); at += 510)
            QVERIFY(p.Feed(com, stream.mid(at, 510)));
        const int want1 = coef1 ? raw1 / coef1 : raw1, want2 = coef2 ? raw2 / coef2 : raw2;
        const QString line = QStringLiteral("原始压力值wStressTmp1=%1,wStressTmp2=%2,压力系数1=%3,"
                                            "压力系数2=%4,新的压力值1=%5,2=%6")
                                 .arg(raw1)
                                 .arg(raw2)
                                 .arg(coef1)
                                 .arg(coef2)
                                 .arg(want1)
                                 .arg(want2);
        QTRY_VERIFY_WITH_TIMEOUT(LogTexts(p.dlg).contains(line), 20000);
        QCOMPARE(p.dlg.m_infoPress1.m_iValue.load(), want1);
        QCOMPARE(p.dlg.m_infoPress2.m_iValue.load(), want2);
    }

    // ------------------------------------------------------------- streams

    void streams_data() {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("writeSize");
        QTest::addColumn<bool>("shown"); // whether its records reach the readouts

        const QByteArray device = DeviceStream(600);
        QTest::newRow("device records") << device << 60 << true;

        QByteArray garbage(9000, '\0');
        QRandomGenerator rng(7);
        for (char& c : garbage) {
            c = char(rng.bounded(256));
            if (uchar(c) == kRecordMarker)
                c = 0;
        }
        QTest::newRow("garbage") << garbage << 300 << false;

        QByteArray unmarked = device;
        for (qsizetype at = 1; at < unmarked.size(); at += kRecordSize)
            unmarked[at] = ';';
        QTest::newRow("records without the marker") << unmarked << 150 << false;
        // The record boundary is found again: shown as if it had come whole.
        QTest::newRow("shifted by one byte") << device.mid(1) << 150 << true;

        // Over the 512 bytes the receive buffers take at once: the serial
        // control hands such bursts out in pieces, so nothing is refused.
        QTest::newRow("bursts of 600 bytes") << device << 600 << true;
        QTest::newRow("bursts of 1000 bytes") << device << 1000 << true;
        QTest::newRow("one burst of 9000 bytes") << device << 9000 << true;
    }
    // Through a pseudo-terminal into the panel, recording on: what carries the
    // marker is shown, the rest is ignored, and the file holds every whole
    // record of every buffer handed over, each cut from the stream as sent.
    void streams() {
        QFETCH(QByteArray, stream);
        QFETCH(int, writeSize);
        QFETCH(bool, shown);
        QTemporaryDir dir;
        SetRecordingDir(QFile::encodeName(dir.path()).toStdString() + '/');
        TestPty com;
        QVERIFY(com.LinkAsCom(kStreamPort));
        Panel p;
        std::atomic<uint64_t> decoded{0};
        p.dlg.m_decodeTap = [&](const uint8_t*) { ++decoded; };
        p.Select(kStreamPort);
        p.Press(IDC_BUTTON_SAVEFILE);
        p.Press(IDC_BUTTON_OPENPORT);
        QCOMPARE(p.dlg.m_bPortOpen, 1);
        const QStringList logBefore = LogTexts(p.dlg);

        for (qsizetype at = 0; at < stream.size(); at += writeSize)
            QVERIFY(p.Feed(com, stream.mid(at, writeSize)));
        const qsizetype expectHandOvers = stream.size() / kRecvBufSize - 1;
        QTRY_VERIFY_WITH_TIMEOUT(qsizetype(p.dlg.m_recv.HandOvers()) >= expectHandOvers, 20000);
        EventLoopPassesUntilIdle(); // what the control still holds goes in too
        p.Press(IDC_BUTTON_CLOSEPORT);
        QTRY_VERIFY_WITH_TIMEOUT(p.WorkerIdle(), 20000);
        const uint64_t cut =
            decoded.load() * (kRecordDecimation + 1) + uint64_t(p.dlg.m_recv.RecordCount());
        p.Press(IDC_BUTTON_STOPSAVE);

        QCOMPARE(p.dlg.m_recv.ChunksTooLarge(), uint64_t(0));
        QVERIFY(decoded.load() > 0);
        if (shown) {
            QCOMPARE(p.dlg.m_infoPress1.m_iValue.load(), 0x1234);
            QCOMPARE(p.dlg.m_infoPress2.m_iValue.load(), 0x5678);
        } else {
            QCOMPARE(p.dlg.m_infoPress1.m_iValue.load(), 0);
            QCOMPARE(p.dlg.m_infoPress2.m_iValue.load(), 0);
        }
        // Test mode: the stream itself writes nothing to the log.
        QCOMPARE(LogTexts(p.dlg).mid(logBefore.size()),
                 QStringList{QStringLiteral("串口关闭成功")});
        QVERIFY2(m_boxes.isEmpty(), qPrintable(m_boxes.join('\n')));

        const QStringList files = Recordings(dir.path());
        QCOMPARE(files.size(), 1);
        QFile f(QDir(dir.path()).filePath(files[0]));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray text = f.readAll();
        QCOMPARE(uint64_t(text.size()), cut * kRecordLineSize);
        for (qsizetype k = 0; k < text.size() / kRecordLineSize; ++k) {
            const QByteArray line = text.mid(k * kRecordLineSize, kRecordLineSize);
            QVERIFY2(line.endsWith("\r\n"), line.constData());
            const QByteArray bytes = QByteArray::fromHex(line.left(kRecordLineSize - 2));
            QCOMPARE(bytes.size(), kRecordSize);
            QCOMPARE(QByteArray(bytes.toHex(' ').toUpper() + " \r\n"), line);
            QVERIFY2(stream.contains(bytes), line.constData());
        }

        // A chunk over the limit, as a control without the cutting would hand
        // it over, is refused whole and counted; the filling buffer keeps its
        // whole records and loses only the piece the chunk would have ended.
        const int w = p.dlg.m_recv.RecvWrite();
        const int32_t len = p.dlg.m_recv.RecvLen(w);
        const QByteArray big = stream.left(513);
        QCOMPARE(p.dlg.m_recv.OnChunk(reinterpret_cast<const uint8_t*>(big.constData()), 513),
                 EChunkResult::TooLarge);
        QCOMPARE(p.dlg.m_recv.ChunksTooLarge(), uint64_t(1));
        QCOMPARE(p.dlg.m_recv.RecvWrite(), w);
        QCOMPARE(p.dlg.m_recv.RecvLen(w), len - len % kRecordSize);
    }

    // ---------------------------------------------------- recording folder

    void recordingFolder_data() {
        QTest::addColumn<QString>("folder"); // relative to a fresh temporary folder
        QTest::addColumn<bool>("opens");
        QTest::newRow("without write permission") << "locked/" << false;
        QTest::newRow("name part over 255 bytes") << QString(300, u'd') + u'/' << false;
        // A whole file name beyond 255 characters is fine where the system
        // takes it.
        QString deep;
        for (int i = 0; i < 6; ++i)
            deep += QString(60, QChar(u'a' + i)) + u'/';
        QTest::newRow("whole name over 255 bytes") << deep << true;
    }
    // A folder that refuses the file: one clear log line, no recording, the
    // buttons as they were; a later start in a good folder works.
    void recordingFolder() {
        QFETCH(QString, folder);
        QFETCH(bool, opens);
        QTemporaryDir tmp;
        QString path = tmp.filePath(folder);
        if (folder == "locked/") {
            QVERIFY(QDir().mkpath(path));
            QVERIFY(::chmod(QFile::encodeName(path).constData(), 0555) == 0);
            // The superuser writes anywhere permissions say no; a folder of
            // the kernel's then stands in, which refuses new files to anyone.
            if (CanCreateFileIn(path))
                path = QStringLiteral("/sys/kernel/");
            if (CanCreateFileIn(path))
                QSKIP("no folder here refuses new files to this user");
        } else if (opens) {
            QVERIFY(QDir().mkpath(path));
        }
        auto unlock = qScopeGuard(
            [&] { ::chmod(QFile::encodeName(tmp.filePath(folder)).constData(), 0755); });
        SetRecordingDir(QFile::encodeName(path).toStdString());
        Panel p;
        p.Press(IDC_BUTTON_SAVEFILE);
        const QStringList log = LogTexts(p.dlg);
        if (opens) {
            QCOMPARE(log.size(), 1);
            QVERIFY(log[0].startsWith(QStringLiteral("开始保存文件(") + path));
            QVERIFY(p.dlg.m_save.IsSaving() && p.dlg.m_save.HasFile());
            QCOMPARE(Recordings(path).size(), 1);
            QVERIFY(QDir(path).filePath(Recordings(path)[0]).size() > 255);
            p.Press(IDC_BUTTON_STOPSAVE);
            return;
        }
        QCOMPARE(log.size(), 1);
        QVERIFY2(log[0].startsWith(QStringLiteral("文件(") + path), qPrintable(log[0]));
        QVERIFY2(log[0].contains(QStringLiteral(")打开失败,错误号")), qPrintable(log[0]));
        QVERIFY2(!log[0].endsWith(QStringLiteral("错误号")), qPrintable(log[0])); // a reason
        QVERIFY(!p.dlg.m_save.IsSaving() && !p.dlg.m_save.HasFile());
        QVERIFY(p.dlg.GetDlgItem(IDC_BUTTON_SAVEFILE)->isEnabled());
        QVERIFY(m_boxes.isEmpty());

        QTemporaryDir good;
        SetRecordingDir(QFile::encodeName(good.path()).toStdString() + '/');
        p.Press(IDC_BUTTON_SAVEFILE);
        QVERIFY(p.dlg.m_save.IsSaving() && p.dlg.m_save.HasFile());
        QCOMPARE(LogTexts(p.dlg).size(), 2);
        p.Press(IDC_BUTTON_STOPSAVE);
        QCOMPARE(Recordings(good.path()).size(), 1);
    }

    // ----------------------------------------------------------- port links

    void portLinks_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing device") << "missing";
        QTest::newRow("directory") << "directory";
        QTest::newRow("regular file") << "file";
        QTest::newRow("named pipe") << "fifo";
        QTest::newRow("character device that is no serial line") << "/dev/null";
        QTest::newRow("link to itself") << "loop";
    }
    // COMn leading to something that is no serial line: Open and a command
    // with the port check each fail with one clear line and the same text in
    // a box (a missing device adds its advice); the panel opens nothing and
    // starts no worker.
    void portLinks() {
        QFETCH(QString, kind);
        QTemporaryDir tmp;
        QString target = tmp.filePath(QStringLiteral("device"));
        if (kind == "directory") {
            QVERIFY(QDir().mkpath(target));
        } else if (kind == "file") {
            QFile f(target);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(DeviceStream(10));
        } else if (kind == "fifo") {
            QVERIFY(::mkfifo(QFile::encodeName(target).constData(), 0600) == 0);
        } else if (kind == "loop") {
            target = PortMapLink(kLinkPort);
        } else if (kind.startsWith('/')) {
            target = kind;
        }
        QVERIFY(TestPty::LinkComTo(kLinkPort, target));
        auto unlink = qScopeGuard([] { QFile::remove(PortMapLink(kLinkPort)); });

        Panel p;
        p.Select(kLinkPort);
        const QString prefix = QStringLiteral("串口(COM%1)打开失败,错误号").arg(kLinkPort);
        for (int button : {IDC_BUTTON_OPENPORT, IDC_BUTTON_START}) {
            m_boxes.clear();
            const qsizetype before = LogTexts(p.dlg).size();
            p.Press(button);
            const QStringList log = LogTexts(p.dlg).mid(before);
            QCOMPARE(log.size(), kind == "missing" ? 2 : 1);
            QVERIFY2(log[0].startsWith(prefix), qPrintable(log[0]));
            const QString reason = log[0].mid(prefix.size());
            QVERIFY2(reason.contains(QRegularExpression(QStringLiteral("[A-Za-z]{3,}"))),
                     qPrintable(reason));
            QVERIFY(reason.size() <= 511);
            QCOMPARE(m_boxes, log.mid(0, 1));
            QCOMPARE(p.dlg.m_bPortOpen, 0);
            QVERIFY(!p.dlg.m_comm.get_PortOpen());
            QVERIFY(!p.dlg.m_pRecvThread.IsRunning());
        }
        // Start stopped at the port check: its buttons did not switch.
        QVERIFY(p.dlg.GetDlgItem(IDC_BUTTON_START)->isEnabled());
        // Nothing was written into what the link leads to.
        if (kind == "file")
            QCOMPARE(QFileInfo(target).size(), qint64(10 * kRecordSize));
    }
};

QTEST_MAIN(TestPanelBadInput)
#include "tst_panel_badinput.moc"
