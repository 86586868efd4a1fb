#pragma once
// The panel's command line, read before the application object exists, so
// that --help and --version need no display.
#include <QString>
#include <QStringList>

struct SPanelCommandLine {
    enum class EAction { Run, Help, Version, Error };
    EAction action = EAction::Run;
    QString recordDir; // --record-dir as given, or empty
    QString message;   // what was wrong, for Error
};

// args starts with the program name. Qt's own options (-platform, -style, ...)
// are left for Qt.
SPanelCommandLine ParsePanelCommandLine(const QStringList& args);
// The text --help prints.
QString PanelUsage();
// "tovrel VERSION", what --version prints.
QString PanelVersionLine();

// The settings file's key naming the recording folder.
inline constexpr char kRecordDirKey[] = "RecordDir";

// The recording folder the user chose, as an absolute path, or empty for the
// default: --record-dir wins, taken from the current folder; RecordDir= from
// the settings file is taken from the home folder ("~/..." as well).
QString ResolveRecordDir(const QString& fromCommandLine, const QString& fromSettings,
                         const QString& currentDir, const QString& homeDir);

// Reads RecordDir= from the panel's settings file (QSettings under the names
// SetTovrelApplicationNames gives) and hands the recorder the folder chosen.
void ApplyRecordingDirChoice(const QString& fromCommandLine);
