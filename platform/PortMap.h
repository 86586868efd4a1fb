#pragma once
#include <QString>

// COM1..COM16 are the names the operator knows. On Linux, COMn is whatever the
// link "comN" in the per-user port-map folder points to; without a link it is
// /dev/ttyS(N-1). That is how a USB adapter or a pseudo-terminal becomes COMn.

// The organisation and application names under which the per-user folders
// are found (QStandardPaths::AppDataLocation uses both).
inline const char* const kTovrelOrganization = "应用程序向导生成的本地应用程序";
inline const char* const kTovrelApplication = "Tovrel";

// Sets the two names above on the running application (before any path lookup).
void SetTovrelApplicationNames();

// The per-user port-map folder: AppDataLocation + "/ports".
QString PortMapDir();
// The link path for COMn inside that folder ("comN", lower case).
QString PortMapLink(int n);
// The device path COMn stands for.
QString PortDevicePath(int n);
