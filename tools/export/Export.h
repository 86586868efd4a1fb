#pragma once
// tovrel-export: a recording made by the panel, with its sidecar, to EDF+
// and CSV.

#include "tools/export/ExportOptions.h"
#include "tools/export/SegmentPlan.h"

#include <QString>
#include <cstdint>
#include <cstdio>

// Runs the export; messages (and the progress line) go to `messages`.
int RunExport(const SExportOptions& options, std::FILE* messages);

// ---- the pieces, for tests ---------------------------------------------------------

// The EDF+ file of segment k (1-based) of several: the first is `edf`
// itself, later ones get "-k" before the extension.
QString SegmentEdfPath(const QString& edf, int k);

// The line an event is put on, in every output, in a part that holds lines
// first..last: the line the sidecar gives it (it came after line - 1 was
// written and before `line`), or, for one after the part's last line (F2
// pressed while sampling was stopped), that last line.
uint64_t EventLine(uint64_t sidecarLine, uint64_t first, uint64_t last);
