#pragma once
// The history log's advice after opening COMn failed: the port map's and the
// device's facts (platform/PortMap.h, platform/PortInfo.h) put in the
// operator's words, beside the panel's other texts.
#include "platform/PortInfo.h"
#include "platform/PortMap.h"

#include <QString>

// The line telling what to do, or an empty text when the facts give no
// advice (the device is there and may be opened, so the failure has another
// cause).
QString OpenFailureHint(const PortMapEntry& entry, const DeviceFacts& facts);
// The same for COMn as the port map and the device are now.
QString OpenFailureHintFor(int n);
