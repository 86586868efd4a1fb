// Runs the real tovrel-ports in a home of its own, so with a port-map folder
// of its own, against pseudo-terminals and real files: the listing, set,
// unset and folder, and every refusal, after which the folder is as it was.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/pty.h"

namespace {

QString ToolPath() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/tovrel-ports");
}

struct Result {
    int code = -1;
    QString out, err;
};

struct PlainUser {
    uid_t uid;
    gid_t gid;
    QString name;
};

// A home for the tool, and in it the port-map folder the tool uses.
struct Home {
    QTemporaryDir dir;
    QString MapDir() const {
        return dir.path() +
               QStringLiteral("/.local/share/应用程序向导生成的本地应用程序/Tovrel/ports");
    }
    QString Link(int n) const { return MapDir() + QStringLiteral("/com%1").arg(n); }

    Result Run(const QStringList& args, const QString& workDir = QString(),
               std::optional<PlainUser> as = std::nullopt) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("XDG_DATA_HOME"));
        env.insert(QStringLiteral("HOME"), dir.path());
        QProcess p;
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(workDir.isEmpty() ? dir.path() : workDir);
        if (as) {
            const uid_t uid = as->uid;
            const gid_t gid = as->gid;
            p.setChildProcessModifier([uid, gid] {
                if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                    ::_exit(126);
            });
        }
        p.start(ToolPath(), args);
        Result r;
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
            return r;
        r.code = p.exitCode();
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

    // Every name in the folder with what it holds: a link's text, or "file".
    QStringList Contents() const {
        QStringList all;
        const QDir d(MapDir());
        for (const QString& name :
             d.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
            const QFileInfo info(d.filePath(name));
            all << name + u'=' +
                       (info.isSymLink() ? LinkText(info.filePath()) : QStringLiteral("file"));
        }
        return all;
    }
    static QString LinkText(const QString& link) {
        char buf[4096];
        const ssize_t n = ::readlink(QFile::encodeName(link).constData(), buf, sizeof buf);
        return n < 0 ? QString() : QFile::decodeName(QByteArray(buf, n));
    }
};

bool MakeLink(const QString& target, const QString& link) {
    return QDir().mkpath(QFileInfo(link).path()) &&
           ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) ==
               0;
}

// The lines of one device's block in the listing, from its first line on.
QStringList DeviceBlock(const QString& listing, const QString& device) {
    QStringList block;
    for (const QString& line : listing.split(u'\n')) {
        if (block.isEmpty()) {
            if (line == QStringLiteral("  ") + device || line.startsWith("  " + device + " ("))
                block << line;
        } else if (line.startsWith(QStringLiteral("    "))) {
            block << line.trimmed();
        } else {
            break;
        }
    }
    return block;
}

QStringList MapLines(const QString& listing) {
    QStringList lines;
    for (const QString& line : listing.split(u'\n'))
        if (line.startsWith(QStringLiteral("  COM")))
            lines << line;
    return lines;
}

} // namespace

class TestToolsPorts : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(QFileInfo(ToolPath()).isExecutable(), qPrintable(ToolPath())); }

    void folderSetAndUnset() {
        Home home;
        Result r = home.Run({QStringLiteral("folder")});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, home.MapDir() + u'\n');
        QVERIFY(!QFileInfo::exists(home.MapDir())); // printing makes nothing

        TestPty first, second;
        QVERIFY(first.IsValid() && second.IsValid());
        r = home.Run({QStringLiteral("set"), QStringLiteral("COM3"), first.SlavePath()});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QStringLiteral("COM3 -> %1\n").arg(first.SlavePath()));
        QVERIFY(r.err.isEmpty());
        QCOMPARE(home.Contents(), QStringList{"com3=" + first.SlavePath()});

        // Pointed elsewhere, written in lower case; and a path relative to
        // where the tool runs.
        r = home.Run({QStringLiteral("set"), QStringLiteral("com3"), second.SlavePath()});
        QCOMPARE(r.code, 0);
        const QFileInfo slave(first.SlavePath());
        r = home.Run({QStringLiteral("set"), QStringLiteral("COM16"), slave.fileName()},
                     slave.path());
        QCOMPARE(r.code, 0);
        QCOMPARE(home.Contents(),
                 QStringList({"com16=" + first.SlavePath(), "com3=" + second.SlavePath()}));

        r = home.Run({QStringLiteral("unset"), QStringLiteral("COM3")});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QStringLiteral("COM3 link removed; COM3 is /dev/ttyS2 again\n"));
        r = home.Run({QStringLiteral("unset"), QStringLiteral("COM3")});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QStringLiteral("COM3 has no link; it is /dev/ttyS2\n"));
        QCOMPARE(home.Contents(), QStringList{"com16=" + first.SlavePath()});
    }

    // --help and --version on stdout, touching nothing.
    void helpAndVersion() {
        Home home;
        Result r = home.Run({QStringLiteral("--help")});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.startsWith(QStringLiteral("Usage: tovrel-ports [COMMAND]\n")),
                 qPrintable(r.out));
        QVERIFY(r.err.isEmpty());
        r = home.Run({QStringLiteral("--version")});
        QCOMPARE(r.code, 0);
        QVERIFY2(QRegularExpression(QStringLiteral("^tovrel-ports \\d+\\.\\d+\\.\\d+\\n$"))
                     .match(r.out)
                     .hasMatch(),
                 qPrintable(r.out));
        QVERIFY(r.err.isEmpty());
        QVERIFY(!QFileInfo::exists(home.MapDir()));
    }

    void refusals_data() {
        QTest::addColumn<QStringList>("args"); // {pty} {file} {dir} {fifo} {map} filled in
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("error");
        const QString set = QStringLiteral("set"), unset = QStringLiteral("unset");
        QTest::newRow("COM0") << QStringList{set, "COM0", "{pty}"} << 2
                              << "tovrel-ports: COM0 is outside COM1 to COM16\n";
        QTest::newRow("COM17") << QStringList{set, "com17", "{pty}"} << 2
                               << "tovrel-ports: COM17 is outside COM1 to COM16\n";
        QTest::newRow("unset COM17")
            << QStringList{unset, "COM17"} << 2 << "tovrel-ports: COM17 is outside COM1 to COM16\n";
        QTest::newRow("no COM name") << QStringList{set, "LPT1", "{pty}"} << 2
                                     << "tovrel-ports: 'LPT1' is not a COM port; use COM1 to "
                                        "COM16\n";
        QTest::newRow("regular file")
            << QStringList{set, "COM4", "{file}"} << 1
            << "tovrel-ports: {file} is not a serial port (regular file)\n";
        QTest::newRow("directory") << QStringList{set, "COM4", "{dir}"} << 1
                                   << "tovrel-ports: {dir} is not a serial port (directory)\n";
        QTest::newRow("named pipe") << QStringList{set, "COM4", "{fifo}"} << 1
                                    << "tovrel-ports: {fifo} is not a serial port (named pipe)\n";
        const QString null = QStringLiteral("tovrel-ports: /dev/null is not a serial port "
                                            "(character device that is no serial line)\n");
        QTest::newRow("/dev/null") << QStringList{set, "COM4", "/dev/null"} << 1 << null;
        QTest::newRow("null, by its name in /dev") << QStringList{set, "COM4", "null"} << 1 << null;
        QTest::newRow("missing device") << QStringList{set, "COM4", "{dir}/ttyUSB7"} << 1
                                        << "tovrel-ports: no such device: {dir}/ttyUSB7\n";
        QTest::newRow("missing device, by its name in /dev")
            << QStringList{set, "COM4", "ttyUSB-none"} << 1
            << "tovrel-ports: no such device: /dev/ttyUSB-none\n";
        QTest::newRow("itself") << QStringList{set, "COM3", "{map}/com3"} << 1
                                << "tovrel-ports: COM3 would point to itself: {map}/com3 leads "
                                   "to its own link {map}/com3\n";
        QTest::newRow("itself through another link")
            << QStringList{set, "COM3", "{map}/com6"} << 1
            << "tovrel-ports: COM3 would point to itself: {map}/com6 leads to its own link "
               "{map}/com3\n";
        QTest::newRow("set over a file") << QStringList{set, "COM5", "{pty}"} << 1
                                         << "tovrel-ports: {map}/com5 is not a link; it is left "
                                            "alone\n";
        QTest::newRow("unset a file") << QStringList{unset, "COM5"} << 1
                                      << "tovrel-ports: {map}/com5 is not a link; it is left "
                                         "alone\n";
        QTest::newRow("missing argument")
            << QStringList{set, "COM3"} << 2
            << "tovrel-ports: wrong number of arguments for 'set'\nUsage:";
        QTest::newRow("unknown command")
            << QStringList{"list"} << 2 << "tovrel-ports: unknown command 'list'\nUsage:";
        QTest::newRow("unknown option")
            << QStringList{"--list"} << 2 << "tovrel-ports: unknown option '--list'\nUsage:";
    }
    // Each refusal says what is wrong, fails, and leaves the folder as it was.
    void refusals() {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, error);
        Home home;
        TestPty pty;
        QTemporaryDir files;
        const QString file = files.filePath(QStringLiteral("recording.txt"));
        const QString fifo = files.filePath(QStringLiteral("fifo"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("data") == 4);
        f.close();
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QVERIFY(MakeLink(pty.SlavePath(), home.Link(3)));
        QVERIFY(MakeLink(home.Link(3), home.Link(6)));
        QFile keep(home.Link(5));
        QVERIFY(keep.open(QIODevice::WriteOnly) && keep.write("mine") == 4);
        keep.close();
        const QStringList before = home.Contents();

        const auto fill = [&](QString text) {
            return text.replace(QStringLiteral("{pty}"), pty.SlavePath())
                .replace(QStringLiteral("{file}"), file)
                .replace(QStringLiteral("{dir}"), files.path())
                .replace(QStringLiteral("{fifo}"), fifo)
                .replace(QStringLiteral("{map}"), home.MapDir());
        };
        for (QString& a : args)
            a = fill(a);
        const Result r = home.Run(args);
        QCOMPARE(r.code, code);
        QVERIFY2(r.err.startsWith(fill(error)), qPrintable(r.err));
        QVERIFY(r.out.isEmpty());
        QCOMPARE(home.Contents(), before);
        QVERIFY(keep.open(QIODevice::ReadOnly));
        QCOMPARE(keep.readAll(), QByteArray("mine"));
        QCOMPARE(QFileInfo(file).size(), qint64(4));
    }

    // The listing: the serial lines the map links to, though Qt's scan does
    // not report pseudo-terminals, with their facts and COM numbers; then
    // all sixteen COMn with what they lead to.
    void listing() {
        Home home;
        TestPty pty;
        QTemporaryDir files;
        QVERIFY(MakeLink(pty.SlavePath(), home.Link(2)));
        QVERIFY(MakeLink(pty.SlavePath(), home.Link(8)));
        QVERIFY(MakeLink(files.filePath(QStringLiteral("ttyUSB7")), home.Link(5)));
        QVERIFY(MakeLink(QStringLiteral("/dev/null"), home.Link(6)));
        QVERIFY(MakeLink(files.path(), home.Link(7)));
        QVERIFY(MakeLink(QStringLiteral("com10"), home.Link(10)));
        QFile notALink(home.Link(9));
        QVERIFY(notALink.open(QIODevice::WriteOnly));
        notALink.close();

        const Result r = home.Run({});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
        QVERIFY(r.out.startsWith(QStringLiteral("Serial devices:\n")));
        QCOMPARE(DeviceBlock(r.out, pty.SlavePath()),
                 QStringList({QStringLiteral("  %1 (not found by the port scan; COM2 links to it)")
                                  .arg(pty.SlavePath()),
                              "by-id:          -", "description:    -", "manufacturer:   -",
                              "serial number:  -", "USB VID:PID:    -", "may open:       yes",
                              "mapped to:      COM2, COM8"}));
        QVERIFY(
            r.out.contains(QStringLiteral("\nCOM1 to COM16, links in %1:\n").arg(home.MapDir())));

        const QStringList map = MapLines(r.out);
        QCOMPARE(map.size(), 16);
        QCOMPARE(map[1], QStringLiteral("  COM2  -> %1: present").arg(pty.SlavePath()));
        QCOMPARE(map[4], QStringLiteral("  COM5  -> %1/ttyUSB7: missing").arg(files.path()));
        QCOMPARE(map[5], QStringLiteral("  COM6  -> /dev/null: not a serial port (character "
                                        "device that is no serial line)"));
        QCOMPARE(map[6],
                 QStringLiteral("  COM7  -> %1: not a serial port (directory)").arg(files.path()));
        QCOMPARE(map[7], QStringLiteral("  COM8  -> %1: present").arg(pty.SlavePath()));
        QVERIFY2(map[8].startsWith(
                     QStringLiteral("  COM9  com9 is not a link (left alone), so /dev/ttyS8: ")),
                 qPrintable(map[8]));
        QVERIFY2(map[9].startsWith(QStringLiteral("  COM10 -> com10: cannot be reached: ")),
                 qPrintable(map[9]));
        for (int n : {3, 4, 11, 16}) {
            const QString line = map[n - 1];
            const QString device = QStringLiteral("/dev/ttyS%1").arg(n - 1);
            const QString head = QStringLiteral("COM%1").arg(n).leftJustified(6);
            QVERIFY2(line.startsWith(QStringLiteral("  %1no link, so %2: ").arg(head, device)),
                     qPrintable(line));
            QCOMPARE(line.endsWith(QStringLiteral(": missing")), !QFileInfo::exists(device));
        }
    }

    // A plain user outside the device's group: set works and says what is
    // still in the way, and the listing tells why the device may not be
    // opened. The superuser may open anything, so this runs the tool as
    // nobody against a pseudo-terminal owned by root:dialout with mode 660, as
    // udev leaves a USB adapter.
    void deviceAPlainUserMayNotOpen() {
        if (::geteuid() != 0)
            QSKIP("needs the superuser to run the tool as another user");
        const passwd* pw = ::getpwnam("nobody");
        const group* dialout = ::getgrnam("dialout");
        if (!pw || !dialout)
            QSKIP("no user nobody or no group dialout here");
        const PlainUser nobody{pw->pw_uid, pw->pw_gid, QStringLiteral("nobody")};
        Home home;
        QVERIFY(::chown(QFile::encodeName(home.dir.path()).constData(), nobody.uid, nobody.gid) ==
                0);
        TestPty pty;
        const QByteArray slave = QFile::encodeName(pty.SlavePath());
        QVERIFY(::chown(slave.constData(), 0, dialout->gr_gid) == 0);
        QVERIFY(::chmod(slave.constData(), 0660) == 0);

        const QString reason =
            QStringLiteral("not in group dialout (sudo adduser nobody dialout, then log in again)");
        Result r = home.Run({QStringLiteral("set"), QStringLiteral("COM2"), pty.SlavePath()},
                            QString(), nobody);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QStringLiteral("COM2 -> %1\nnote: you may not open it yet: %2\n")
                            .arg(pty.SlavePath(), reason));
        QCOMPARE(home.Contents(), QStringList{"com2=" + pty.SlavePath()});

        r = home.Run({}, QString(), nobody);
        QCOMPARE(r.code, 0);
        const QStringList block = DeviceBlock(r.out, pty.SlavePath());
        QVERIFY2(block.contains("may open:       no, " + reason), qPrintable(block.join('\n')));
        QCOMPARE(MapLines(r.out).value(1),
                 QStringLiteral("  COM2  -> %1: present, may not open: %2")
                     .arg(pty.SlavePath(), reason));

        // The superuser may.
        QCOMPARE(MapLines(home.Run({}).out).value(1),
                 QStringLiteral("  COM2  -> %1: present").arg(pty.SlavePath()));
    }
};

QTEST_GUILESS_MAIN(TestToolsPorts)
#include "tst_tools_ports.moc"
