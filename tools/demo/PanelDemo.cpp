// Runs the panel where there is no display: builds it offscreen, optionally
// drives it like an operator (open the port, start sampling), waits, writes a
// screenshot and ends the panel cleanly.
#include "platform/EventDispatcher.h"
#include "platform/Fonts.h"
#include "platform/MessageBox.h"
#include "platform/PortMap.h"
#include "resources/Resource.h"
#include "shell/Language.h"
#include "shell/TovrelDlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv) {
    UseQtEventDispatcher();
    QApplication app(argc, argv);
    SetTovrelApplicationNames();
    InstallFontSubstitutions();
    SetUiLanguage(SystemUiLanguage()); // as the panel's program does

    QCommandLineParser cli;
    cli.setApplicationDescription("Screenshot of the Tovrel panel without a display.");
    const QCommandLineOption helpOpt = cli.addHelpOption();
    QCommandLineOption shotOpt("screenshot", "Where to write the PNG.", "file", "tovrel-panel.png");
    QCommandLineOption liveOpt("live", "Open the port and start sampling first.");
    QCommandLineOption secondsOpt("seconds", "How long to let data flow.", "s", "4");
    cli.addOptions({shotOpt, liveOpt, secondsOpt});
    // Not process(): it ends a bad command line with 1, which the tools keep
    // for work that failed.
    if (!cli.parse(app.arguments()) || !cli.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "tovrel-demo: %s (see --help)\n",
                     qPrintable(cli.errorText().isEmpty() ? QStringLiteral("unexpected argument")
                                                          : cli.errorText()));
        return 2;
    }
    if (cli.isSet(helpOpt)) {
        std::fputs(qPrintable(cli.helpText()), stdout);
        return 0;
    }

    // A message box would wait for a person who is not there: print it.
    SetMessageBoxHook(
        [](const QString& text) { std::fprintf(stderr, "message box: %s\n", qPrintable(text)); });

    CTovrelDlg dlg;
    dlg.Create();
    dlg.show();
    auto click = [&](int id) {
        if (auto* b = qobject_cast<QAbstractButton*>(dlg.GetDlgItem(id)))
            b->click();
    };
    auto pump = [&](int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
    };
    pump(200);
    if (cli.isSet(liveOpt)) {
        click(IDC_BUTTON_OPENPORT);
        pump(100);
        click(IDC_BUTTON_START);
        pump(int(cli.value(secondsOpt).toDouble() * 1000));
    }
    const QString path = cli.value(shotOpt);
    const bool saved = dlg.grab().save(path);
    if (cli.isSet(liveOpt))
        click(IDC_BUTTON_STOP);
    std::printf("%s\n",
                qPrintable(QString(dlg.m_editHistory.GetWindowText()).replace("\r\n", "\n")));
    dlg.close(); // the close box: closes the port, logs, ends the panel
    std::printf("screenshot: %s\n", saved ? qPrintable(path) : "could not be written");
    return saved ? 0 : 1;
}
