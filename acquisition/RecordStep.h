#pragma once
#include <cstdint>

// Where records begin in a byte stream that may arrive torn: after the port
// opens, after a dropped chunk, or after an adapter lost or added a byte.
//
// A boundary is trusted only when the marker ':' sits at byte 1 of several
// consecutive 15-byte periods, so a 0x3A inside sample data, which rarely
// repeats at the same place of consecutive records, does not pass for one.
// Once in step, a missing marker alone does not move the boundary: a record
// whose marker was damaged keeps its place as long as the periods around it
// still carry theirs. A stream that carries no marker at all is cut at fixed
// offsets, as a device without the marker expects.

// Markers at this many consecutive periods make a boundary.
inline constexpr int kStepConfirm = 4;
// Runs are compared over at most this many periods when picking a boundary.
inline constexpr int kStepRunCap = 16;
// Out of step, a boundary is looked for this far ahead: far enough to pass a
// record torn by a few stray bytes, near enough that a stream without the
// marker is not searched in vain for long.
inline constexpr int kStepSearch = 2 * 15;
// The longest piece a cut can leave undecided for lack of the bytes after it:
// enough to confirm a boundary at the far end of the search.
inline constexpr int kStepMaxRest = kStepSearch + kStepConfirm * 15;

struct SStepCut {
    int32_t whole = 0;    // buf[0..whole) now holds whole records only
    int32_t restFrom = 0; // buf[restFrom..len) is undecided (not final) or dropped (final)
    int32_t skipped = 0;  // bytes dropped here: before a boundary, or a final rest
    int32_t stepsLost = 0;
};

// Decides buf[from..len), whose bytes before `from` are already whole
// records. Records are moved down so they follow buf[0..from) without a gap.
// inStep says whether `from` is a record boundary, and is left saying whether
// restFrom is one. When `final` (nothing will follow buf[len-1]: the stream
// broke there) nothing is left undecided: what cannot be a whole record is
// dropped and counted.
SStepCut CutInStep(uint8_t* buf, int32_t from, int32_t len, bool& inStep, bool final);
