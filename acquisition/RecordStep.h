#pragma once
#include "acquisition/RecordFormat.h"

#include <cstdint>

// Where records begin in a byte stream that may arrive torn: after the port
// opens, after a dropped chunk, or after an adapter lost or added a byte.
//
// A boundary is trusted only when the marker ':' sits at byte 1 of several
// consecutive 15-byte periods. A sample can hold still at a value with 0x3A
// in one of its bytes (a cuff held at pressure: raw 14976 is 3A 80), and its
// column of colons then repeats as steadily as the marker. Where more than
// one phase of the stream carries colons, the phases are told apart by what
// only the true one has: read in the true phase, each of the six 16-bit
// values changes little from one record to the next, while in a false phase
// a fast low byte, the running number or the checksum lands in a high byte.
// After a lost or added byte the new phase lies next to the old one, which
// tips the balance where that evidence is thin. The held phase keeps being
// compared with any other phase that carries colons, so a wrong choice does
// not stand for long. (Where bytes 0 and 14 carry nothing and the samples
// hold still as well, the phases are the same bytes turned: nothing tells
// them apart, and the earlier one is taken.)
//
// Once in step, a missing marker alone does not move the boundary: a record
// whose marker was damaged keeps its place as long as the periods around it
// still carry theirs. Bytes where no boundary is confirmed are dropped and
// counted, never recorded, once the stream has carried the marker; a stream
// that carries no marker at all is cut at fixed offsets, as a device without
// the marker expects.

// Markers at this many consecutive periods make a boundary.
inline constexpr int kStepConfirm = 4;
// Out of step, a boundary is looked for this far ahead: far enough to pass a
// record torn by a few stray bytes, near enough that a stream without the
// marker is not searched in vain for long.
inline constexpr int kStepSearch = 2 * kRecordSize;
// Records read to compare phases that both carry colons.
inline constexpr int kStepEvidence = 16;
// The longest piece a cut can leave undecided for lack of the bytes after it:
// enough to compare phases at the far end of the search.
inline constexpr int kStepMaxRest = kStepSearch + kStepEvidence * kRecordSize;
// In step, the held phase is compared with the others this often (records).
inline constexpr int kStepRecheck = 16;

// How far a cut may go.
enum class EStepEnd {
    More,  // more bytes follow: what cannot be decided yet waits for them
    Now,   // decide everything that has arrived (a recording starts or stops
           // here); in step, a piece of a record waits for the rest of it
    Break, // nothing follows (the stream broke): what is no whole record is dropped
};

// What the cut knows of the stream between calls. Reset (a new stream) by
// assigning {}.
struct SStepState {
    bool inStep = false; // the next undecided byte starts a record
    bool marked = false; // a boundary has been confirmed since the stream began
    // Out of step where the step was lost: the next undecided byte is where
    // the held phase's next record would have begun.
    bool nearLost = false;
    int sinceCheck = 0; // records taken since the held phase was compared
    int strikes = 0;    // comparisons in a row that another phase won
    // Whether byte 14 has been the 8-bit sum of bytes 0 to 13 in every
    // record of a long run (a device that sends a checksum there), and the
    // records in a row taken since that last failed.
    bool checksummed = false;
    int sumRun = 0;
    // How much a record changes from the one before, on average (StepRoughness
    // of two, times 16), over the records taken lately.
    int32_t roughAvg16 = 0;
};

struct SStepCut {
    int32_t whole = 0;    // buf[0..whole) now holds whole records only
    int32_t restFrom = 0; // buf[restFrom..len) is undecided (More, Now) or dropped (Break)
    int32_t skipped = 0;  // bytes dropped here: before a boundary, or a final rest
    int32_t stepsLost = 0;
};

// Decides buf[from..len), whose bytes before `from` are already whole
// records. Records are moved down so they follow buf[0..from) without a gap.
// When takenEnds is given, the offset just past each record taken, where it
// lay before the move, is stored there in order (at most (len-from)/15 of them).
SStepCut CutInStep(uint8_t* buf, int32_t from, int32_t len, SStepState& state, EStepEnd end,
                   int32_t* takenEnds = nullptr);

// How much the six 16-bit values of `records` records starting at rec change
// from one record to the next: the bits of each change, summed. Low in the
// true phase of a stream of samples.
int32_t StepRoughness(const uint8_t* rec, int records);
