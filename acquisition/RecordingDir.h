#pragma once
// Where the recording buttons put their files.
#include <string>
#include <vector>

// Directory of the running executable, ending with '/' ("./" before the
// application object exists).
std::string GetModuleDir();

// What the recording folder is chosen from.
struct SRecordingPlace {
    std::string chosen;     // the user's folder (--record-dir, RecordDir=), or empty
    std::string moduleDir;  // the program's folder, ending with '/'
    bool installed = false; // the program runs from the folder it was installed into
    bool moduleWritable = false;
    std::string documentsDir; // the documents folder of whoever runs the program, or empty
};

// The folder the user chose, when there is one. Otherwise an installed program
// records into the subfolder Tovrel of the documents folder, also when root runs
// it: a program folder is no place for data even where root may write, and
// removing the package would leave the recordings behind. A program run from
// a build or a copied folder records beside itself, as it always did, unless
// the user may not write there; then the documents folder takes them too.
// Without a documents folder the program's folder is left for the open to
// fail and be reported. Ends with '/'.
std::string ChooseRecordingDir(const SRecordingPlace& place);

// The bin folders this build installs into: cmake --install's and the
// package's (/usr/bin), each ending with '/'.
std::vector<std::string> InstallBinDirs();
// Whether moduleDir is the folder an install put the program in: one of
// installBinDirs (compared as real paths), or bin/ of any prefix the install
// went to, which has the desktop entry at ../share/applications/tovrel.desktop
// (a build or a copied folder has none).
bool IsInstalledProgramDir(const std::string& moduleDir,
                           const std::vector<std::string>& installBinDirs);

// The user's choice (tovrel --record-dir, RecordDir= in the settings file),
// an absolute path; it is made when missing at each start of a recording.
// Empty: the rule above.
void SetChosenRecordingDir(const std::string& dir);

// Where the next recording goes, made when missing (unless it is the
// program's own folder). A folder that cannot be made shows up as the
// recording's file failing to open, which the start logs.
std::string RecordingDir();
// Test seam: recordings go to dir (ending with '/') as it is, so test runs
// never write into the build folder; an empty dir restores the rule above.
void SetRecordingDir(const std::string& dir);
