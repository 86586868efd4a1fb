#include "shell/CommandLine.h"

#include "acquisition/RecordingDir.h"

#include <QDir>
#include <QFile>
#include <QSettings>

#ifndef TOVREL_VERSION
#define TOVREL_VERSION "unknown"
#endif

namespace {

// The options QGuiApplication and QApplication take out of the command line
// themselves, with one dash or two; those in the first list take a value.
const char* const kQtValueOptions[] = {
    "platform",        "platformpluginpath", "platformtheme", "plugin",
    "qwindowgeometry", "qwindowicon",        "qwindowtitle",  "session",
    "display",         "geometry",           "name",          "style",
    "stylesheet"};
const char* const kQtFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

bool IsOneOf(const QString& name, const auto& names) {
    for (const char* n : names)
        if (name == QLatin1String(n))
            return true;
    return false;
}

SPanelCommandLine Failure(const QString& message) {
    SPanelCommandLine result;
    result.action = SPanelCommandLine::EAction::Error;
    result.message = message;
    return result;
}

} // namespace

SPanelCommandLine ParsePanelCommandLine(const QStringList& args) {
    SPanelCommandLine result;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            result.action = SPanelCommandLine::EAction::Help;
            return result;
        }
        if (arg == QLatin1String("--version")) {
            result.action = SPanelCommandLine::EAction::Version;
            return result;
        }
        if (arg == QLatin1String("--record-dir") ||
            arg.startsWith(QLatin1String("--record-dir="))) {
            const bool joined = arg.contains(u'=');
            if (!joined && i + 1 >= args.size())
                return Failure(QStringLiteral("--record-dir needs a folder"));
            result.recordDir = joined ? arg.mid(arg.indexOf(u'=') + 1) : args[++i];
            if (result.recordDir.isEmpty())
                return Failure(QStringLiteral("--record-dir needs a folder"));
            continue;
        }
        if (!arg.startsWith(u'-') || arg == QLatin1String("-") || arg == QLatin1String("--"))
            return Failure(QStringLiteral("unexpected argument '%1'").arg(arg));
        // Qt's own: -name value, -name=value, and the same with two dashes.
        QString name = arg.mid(arg.startsWith(QLatin1String("--")) ? 2 : 1);
        const bool joined = name.contains(u'=');
        name = name.section(u'=', 0, 0);
        if (IsOneOf(name, kQtFlagOptions) && !joined)
            continue;
        if (IsOneOf(name, kQtValueOptions)) {
            if (!joined && ++i >= args.size())
                return Failure(QStringLiteral("%1 needs a value").arg(arg));
            continue;
        }
        return Failure(QStringLiteral("unknown option '%1'").arg(arg));
    }
    return result;
}

QString PanelUsage() {
    return QStringLiteral(
        "Usage: tovrel [OPTION]...\n"
        "The acquisition panel of a multi-parameter electrophysiology device: it talks to\n"
        "the device over a serial port (COM1 to COM16), shows its four waveforms and two\n"
        "pressures live, sends it its commands and records its stream to text files.\n"
        "\n"
        "Options:\n"
        "      --record-dir DIR  record into DIR (made when missing); overrides RecordDir=\n"
        "                        in the settings file\n"
        "  -h, --help            print this help and exit\n"
        "      --version         print the version and exit\n"
        "\n"
        "Qt's own options, such as -platform NAME and -style NAME, are passed on to Qt.\n"
        "\n"
        "Recordings go into the folder given by --record-dir (a relative one is taken\n"
        "from the current folder), else by RecordDir= in the settings file. Without\n"
        "either, an installed panel records into ~/Documents/Tovrel (the documents folder\n"
        "of whoever runs it, root included); a panel run from a build or a copied folder\n"
        "records beside the program, or into ~/Documents/Tovrel where it may not write\n"
        "there.\n"
        "\n"
        "RecordDir=DIR in the [General] group of the settings file names the folder (a\n"
        "relative DIR is taken from the home folder, ~/ as well). The settings file:\n"
        "  ~/.config/应用程序向导生成的本地应用程序/Tovrel.conf\n"
        "($XDG_CONFIG_HOME for ~/.config when that is set)\n"
        "\n"
        "Exit status: 0 when the panel is closed, 2 for a bad option.\n");
}

QString PanelVersionLine() {
    return QStringLiteral("tovrel " TOVREL_VERSION);
}

QString ResolveRecordDir(const QString& fromCommandLine, const QString& fromSettings,
                         const QString& currentDir, const QString& homeDir) {
    if (!fromCommandLine.isEmpty())
        return QDir::cleanPath(QDir(currentDir).absoluteFilePath(fromCommandLine));
    QString dir = fromSettings.trimmed();
    if (dir.isEmpty())
        return QString();
    if (dir == u'~')
        return QDir::cleanPath(homeDir);
    if (dir.startsWith(QLatin1String("~/")))
        dir = dir.mid(2);
    return QDir::cleanPath(QDir(homeDir).absoluteFilePath(dir));
}

void ApplyRecordingDirChoice(const QString& fromCommandLine) {
    const QString fromSettings = QSettings().value(QLatin1String(kRecordDirKey)).toString();
    const QString dir =
        ResolveRecordDir(fromCommandLine, fromSettings, QDir::currentPath(), QDir::homePath());
    SetChosenRecordingDir(QFile::encodeName(dir).toStdString());
}
