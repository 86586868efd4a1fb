#pragma once
// EDF+ output through EDFlib: the six signals of a recording, one EDF+C file
// per recording segment.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

inline constexpr int kEdfSignalCount = 6;

// How a signal of the device appears in the EDF+ file. The raw values are
// unsigned 16-bit; they are stored as digital = raw - 32768, which covers
// -32768..32767 exactly, so nothing is lost. The physical range maps that
// back to what the panel shows: the waves as raw / 20 (0..3276.75, the panel
// plots the whole part), the pressures raw (0..65535).
struct SEdfSignal {
    const char* label;      // at most 16 characters
    const char* transducer; // at most 80
    const char* dimension;  // at most 8
    double physicalMax;     // physical minimum 0
    const char* prefilter;  // at most 80
};
extern const SEdfSignal kEdfSignals[kEdfSignalCount];

// Data records: `samples` of each signal in `duration` units of 10 us
// (EDFlib's unit), so the file's rate is samples * 100000 / duration.
struct SDataRecordLayout {
    int samples = 0;
    int duration = 0;
    double Rate() const { return samples * 100000.0 / duration; }
    double Seconds() const { return duration / 100000.0; }
};

// Whether EDFlib writes a data record of `duration` (10 us units) into the
// header as that duration. It prints the seconds with nine decimals cut, not
// rounded, from the double, so one whose double lies just below its decimal
// value comes out 10 us short: 0.12513 s is 0.1251299..., written
// "0.125129", and a file meant for 3000 records/s in such records would say
// 3000.24.
bool EdfKeepsDuration(int duration);

// The layout for hz with records from 0.1 to 10 s, of a duration EDFlib
// keeps: an exact one when there is one (the shortest), else the shortest
// within 1e-7 of hz (under 0.4 ms an hour), else the closest. Nothing when hz
// is outside 0.1 .. 100000.
std::optional<SDataRecordLayout> ChooseDataRecord(double hz);

// Where an annotation on sample `sample` (0 for the file's first) starts, in
// EDFlib's units of 100 us: the first such unit at or after the sample's time
// when that is under half a sample period away, so that a reader that rounds
// the onset to a sample and one that cuts it both find this sample; else the
// nearest (rates above 5000/s), which readers that round find.
long long AnnotationOnset(int64_t sample, double rate);

// An annotation on a sample of the file: a line of the recording, so that it
// names the same line as the sidecar and the CSV.
struct SEdfAnnotation {
    int64_t sample = 0;   // from the file's first, 0
    int64_t samples = -1; // how many it covers, or -1 for no duration
    QByteArray text;      // UTF-8; EDFlib keeps the first 40 bytes
    bool problem = false; // about the input (kept last when space runs out)
};

struct SEdfSetup {
    SDataRecordLayout layout;
    QDateTime start; // of the first sample; invalid: 1985-01-01 00:00:00 (unknown)
    QString equipment;
    QString recordingNote;
    uint64_t expectedSamples = 0; // sizes the space for annotations
    int expectedAnnotations = 0;
};

class CEdfWriter {
public:
    CEdfWriter() = default;
    ~CEdfWriter();
    CEdfWriter(const CEdfWriter&) = delete;
    CEdfWriter& operator=(const CEdfWriter&) = delete;

    // Creates path (overwriting it) with the header for setup.
    bool Open(const QString& path, const SEdfSetup& setup, QString& error);
    // One sample of every signal: the six raw values of a record.
    bool Add(const uint16_t raw[kEdfSignalCount], QString& error);
    void Annotate(SEdfAnnotation annotation) { m_annotations.push_back(std::move(annotation)); }
    // Fills the last data record up with the last sample (annotated), writes
    // the annotations in time order and closes the file.
    bool Close(QString& error);
    // Closes without finishing; the file is the caller's to remove.
    void Abandon();

    uint64_t Samples() const { return m_samples; }
    uint64_t PaddedSamples() const { return m_padded; }
    // Annotations the file had no room for (problems first).
    int DroppedAnnotations() const { return m_dropped; }
    const SDataRecordLayout& Layout() const { return m_layout; }

private:
    bool WriteRecord(QString& error);

    int m_handle = -1;
    SDataRecordLayout m_layout;
    int m_annotationSignals = 1;
    std::vector<short> m_record; // signal after signal, as EDFlib's block write takes it
    int m_fill = 0;
    uint64_t m_samples = 0;
    uint64_t m_records = 0;
    uint64_t m_padded = 0;
    int m_dropped = 0;
    short m_last[kEdfSignalCount] = {};
    std::vector<SEdfAnnotation> m_annotations;
};
