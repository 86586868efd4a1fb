// tovrel-simdevice: stands in for the acquisition device on the other end of
// the serial line, so the panel can be run and tested without the hardware.

#include "platform/PortMap.h"
#include "tools/DeviceServer.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_stopPipe[2] = {-1, -1};

// Only wakes the main loop; all the cleaning up happens there.
void OnStopSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_stopPipe[1], &byte, 1);
    errno = saved;
}

bool InstallStopSignals() {
    if (pipe2(g_stopPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    struct sigaction sa = {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        if (sigaction(sig, &sa, nullptr) != 0)
            return false;
    signal(SIGPIPE, SIG_IGN);
    return true;
}

// As the other tools: 1 when the device cannot be served, 2 for bad usage.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void Fail(const QString& text) {
    std::fprintf(stderr, "tovrel-simdevice: %s\n", qPrintable(text));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    SetTovrelApplicationNames();
    // Test use only: the tests run the tool against Qt's test locations so a
    // developer's own port map is never touched.
    if (qEnvironmentVariableIntValue("TOVREL_TEST_MODE") == 1)
        QStandardPaths::setTestModeEnabled(true);

    simdev::Options options;
    QString message;
    switch (simdev::ParseOptions(app.arguments(), options, message)) {
    case simdev::ParseResult::Help:
    case simdev::ParseResult::Version:
        std::fputs(qPrintable(message), stdout);
        return 0;
    case simdev::ParseResult::Error:
        Fail(message + " (see --help)");
        return kExitUsage;
    case simdev::ParseResult::Ok:
        break;
    }

    std::vector<simdev::Record> replay;
    if (!options.replayPath.isEmpty()) {
        QFile file(options.replayPath);
        if (!file.open(QIODevice::ReadOnly)) {
            Fail("cannot read " + options.replayPath + ": " + file.errorString());
            return kExitFailed;
        }
        const QByteArray text = file.readAll();
        simdev::ReplayData data = simdev::ParseReplay({text.constData(), size_t(text.size())});
        if (data.badLines > 0)
            Fail(QString("%1: skipped %2 malformed line(s), the first is line %3")
                     .arg(options.replayPath)
                     .arg(data.badLines)
                     .arg(data.firstBadLine));
        if (data.records.empty()) {
            Fail(options.replayPath + " holds no records");
            return kExitFailed;
        }
        replay = std::move(data.records);
    }

    if (!InstallStopSignals()) {
        Fail("cannot install signal handlers");
        return kExitFailed;
    }

    const QString portName = QString("COM%1").arg(options.port);
    const std::string linkPath = QFile::encodeName(PortMapLink(options.port)).toStdString();
    const simdev::LinkInspection existing = simdev::InspectPortLink(linkPath);
    switch (existing.check) {
    case simdev::LinkCheck::RealDevice:
        Fail(QString("%1 is mapped to the device %2 (%3); refusing to replace it")
                 .arg(portName, QString::fromStdString(existing.target),
                      QString::fromStdString(linkPath)));
        return kExitFailed;
    case simdev::LinkCheck::NotALink:
        Fail(QString("%1 is not a link; refusing to replace it")
                 .arg(QString::fromStdString(linkPath)));
        return kExitFailed;
    case simdev::LinkCheck::Replaceable:
        if (simdev::IsPtySlavePath(existing.target) &&
            QFile::exists(QString::fromStdString(existing.target)))
            Fail(QString("taking over %1 from %2; another simulator may still be serving it")
                     .arg(portName, QString::fromStdString(existing.target)));
        break;
    case simdev::LinkCheck::Free:
        break;
    }

    simdev::Pty pty;
    std::string error;
    if (!simdev::OpenRawPty(pty, error)) {
        Fail(QString::fromStdString(error));
        return kExitFailed;
    }
    QString linkError;
    if (!PlacePortMapLink(PortMapDir(), options.port, QString::fromStdString(pty.slavePath),
                          linkError)) {
        Fail(linkError);
        simdev::ClosePty(pty);
        return kExitFailed;
    }
    std::printf("serving %s at %s (link %s)\n", qPrintable(portName), pty.slavePath.c_str(),
                linkPath.c_str());
    std::fflush(stdout);

    simdev::RecordSource source = replay.empty()
                                      ? simdev::RecordSource(options.rate, options.bpm)
                                      : simdev::RecordSource(std::move(replay), options.verbatim);
    const simdev::ServeStats stats =
        simdev::ServeDevice(pty, options, source, g_stopPipe[0], stderr);

    simdev::RemoveLinkIfPointsTo(linkPath, pty.slavePath);
    simdev::ClosePty(pty);
    std::fprintf(stderr, "tovrel-simdevice: stopped; %llu records sent, %llu dropped\n",
                 static_cast<unsigned long long>(stats.sent),
                 static_cast<unsigned long long>(stats.dropped));
    return 0;
}
