#include "acquisition/RecordingDir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <unistd.h>

#ifndef TOVREL_INSTALL_BINDIR
#define TOVREL_INSTALL_BINDIR "/usr/local/bin"
#endif

namespace {
std::string g_recordingDir; // the tests' folder; empty: the rule
std::string g_chosenDir;    // the user's folder; empty: none

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

QString RealPath(const std::string& dir) {
    return QFileInfo(QFile::decodeName(dir.c_str())).canonicalFilePath();
}
} // namespace

std::string GetModuleDir() {
    // With its '/', for a recording's name to follow.
    if (!QCoreApplication::instance())
        return "./";
    return WithSlash(QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString());
}

std::string ChooseRecordingDir(const SRecordingPlace& place) {
    if (!place.chosen.empty())
        return WithSlash(place.chosen);
    if ((place.moduleWritable && !place.installed) || place.documentsDir.empty())
        return place.moduleDir;
    return WithSlash(place.documentsDir) + "Tovrel/";
}

std::vector<std::string> InstallBinDirs() {
    return {WithSlash(TOVREL_INSTALL_BINDIR), "/usr/bin/"};
}

bool IsInstalledProgramDir(const std::string& moduleDir,
                           const std::vector<std::string>& installBinDirs) {
    const QString real = RealPath(moduleDir);
    if (real.isEmpty())
        return false;
    for (const std::string& dir : installBinDirs)
        if (RealPath(dir) == real)
            return true;
    return QFileInfo(real + QStringLiteral("/../share/applications/tovrel.desktop")).isFile();
}

void SetChosenRecordingDir(const std::string& dir) {
    g_chosenDir = dir;
}

void SetRecordingDir(const std::string& dir) {
    g_recordingDir = dir;
}

std::string RecordingDir() {
    if (!g_recordingDir.empty())
        return g_recordingDir;
    SRecordingPlace place;
    place.chosen = g_chosenDir;
    place.moduleDir = GetModuleDir();
    place.installed = IsInstalledProgramDir(place.moduleDir, InstallBinDirs());
    place.moduleWritable = access(place.moduleDir.c_str(), W_OK | X_OK) == 0;
    place.documentsDir =
        QFile::encodeName(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
            .toStdString();
    const std::string dir = ChooseRecordingDir(place);
    if (dir != place.moduleDir)
        QDir().mkpath(QFile::decodeName(dir.c_str()));
    return dir;
}
