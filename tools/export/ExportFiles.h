#pragma once
// The files an export touches: the recording and its sidecar read only when
// they are regular files (a FIFO or a device would block or be changed by
// opening it), and each output written under a temporary name beside it and
// renamed into place once whole, over nothing but a regular file.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <csignal>
#include <vector>

// A path as messages show it.
inline QString Native(const QString& path) {
    return QDir::toNativeSeparators(path);
}

// What is at path when it is not a regular file ("a folder", "a FIFO (named
// pipe)", "a device", ...), following a symbolic link when `follow`; empty
// when it is a regular file or there is nothing there.
QString NotRegularFile(const QString& path, bool follow);

// Opens a regular file for reading without ever blocking: refused before
// opening when it is anything else, and checked again on what was opened.
// `what` names it in the message ("recording", "sidecar").
bool OpenRegularFile(const QString& path, const QString& what, QFile& file, QString& error);

// Reads a regular file whole, up to maxBytes.
bool ReadRegularFile(const QString& path, const QString& what, qint64 maxBytes, QByteArray& out,
                     QString& error);

class CTempOutput;

// Makes the outputs durable before they are named. A few are synced one by
// one; many (thousands of EDF+ files, one a stretch of the recording) with
// one sync of each file system that holds them, as a sync of each costs a
// journal commit. Returns false at once, with `error` left empty, when
// `stop` is set meanwhile.
bool SyncOutputs(const std::vector<CTempOutput*>& outputs, const volatile std::sig_atomic_t& stop,
                 QString& error);

class CTempOutput {
public:
    CTempOutput() = default;
    ~CTempOutput() { Discard(); }
    CTempOutput(const CTempOutput&) = delete;
    CTempOutput& operator=(const CTempOutput&) = delete;

    bool Create(const QString& finalPath, QString& error);

    QString TempPath() const { return m_temp; }
    QString FinalPath() const { return m_final; }

    // Makes the file durable.
    bool Sync(QString& error);
    // Gives the file its name: without `replace`, an existing file of that
    // name is never overwritten; with it, only a regular file is.
    bool Commit(bool replace, QString& error);
    void Discard();
    // Takes a committed file away again (a later output failed).
    void Withdraw();

private:
    QString m_final;
    QString m_temp;
    bool m_committed = false;
};
