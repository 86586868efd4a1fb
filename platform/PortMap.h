#pragma once
#include <QString>
#include <optional>

// COM1..COM16 are the names the operator knows. On Linux, COMn is whatever the
// link "comN" in the per-user port-map folder points to; without a link it is
// /dev/ttyS(N-1). That is how a USB adapter or a pseudo-terminal becomes COMn.

// The organisation and application names under which the per-user folders
// are found (QStandardPaths::AppDataLocation uses both).
inline const char* const kTovrelOrganization = "应用程序向导生成的本地应用程序";
inline const char* const kTovrelApplication = "Tovrel";

// Sets the two names above on the running application (before any path lookup).
void SetTovrelApplicationNames();

inline constexpr int kComPortCount = 16;

// "COM3" or "com3" gives 3, whatever the number ("COM0", "COM17" too); text
// that is no COM name gives nothing.
std::optional<int> ParseComNumber(const QString& text);
inline bool IsComInMap(int n) {
    return n >= 1 && n <= kComPortCount;
}

// The per-user port-map folder: AppDataLocation + "/ports".
QString PortMapDir();
// The link path for COMn inside dir ("comN", lower case).
QString PortMapLink(const QString& dir, int n);
// The same in the per-user folder.
QString PortMapLink(int n);

// What occupies "comN" in a port-map folder, and what COMn stands for.
struct PortMapEntry {
    enum class EKind { None, Link, NotALink };
    int n = 0;
    EKind kind = EKind::None;
    QString link;     // the folder + "/comN"
    QString linkText; // the link's own text, as written
    QString device;   // the link's target made absolute, or /dev/ttyS(n-1) without a link
};
PortMapEntry ReadPortMapEntry(const QString& dir, int n);
// The device path COMn stands for.
QString PortDevicePath(int n);

// Points COMn's link in dir at target, making dir when it is missing. The new
// link is made under a temporary name and renamed into place, so a panel
// looking up the port never finds it missing; whatever link was there is
// replaced. False, with the reason in error, when that cannot be done.
bool PlacePortMapLink(const QString& dir, int n, const QString& target, QString& error);
