#include "tools/export/EdfOutput.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <edflib.h>

const SEdfSignal kEdfSignals[kEdfSignalCount] = {
    {"Pulse 1", "Pulse wave sensor 1 (record bytes 2-3)", "raw/20", 3276.75},
    {"Pulse 2", "Pulse wave sensor 2 (record bytes 4-5)", "raw/20", 3276.75},
    {"ECG", "ECG electrodes (record bytes 6-7)", "raw/20", 3276.75},
    {"Heart sound", "Heart sound sensor (record bytes 8-9)", "raw/20", 3276.75},
    {"Pressure 1", "Pressure sensor 1 (record bytes 10-11)", "raw", 65535},
    {"Pressure 2", "Pressure sensor 2 (record bytes 12-13)", "raw", 65535},
};

namespace {

constexpr int kShortestRecord = 10000;    // 0.1 s in 10 us units
constexpr int kLongestRecord = 1000000;   // 10 s
constexpr int kMaxRecordSamples = 500000; // EDFlib takes data records of up to 10 MB
constexpr double kExactEnough = 1e-7;
// EDFlib's own limits: 1 to 64 annotation signals, 40 bytes of text each.
constexpr int kMaxAnnotationSignals = 64;
constexpr int kAnnotationTextBytes = 40;
constexpr int kDigitalMin = -32768, kDigitalMax = 32767;

QString LastError(const char* what) {
    const int e = errno;
    return e ? QStringLiteral("%1 (%2)").arg(QString::fromUtf8(what),
                                             QString::fromLocal8Bit(std::strerror(e)))
             : QString::fromUtf8(what);
}

} // namespace

bool EdfKeepsDuration(int duration) {
    const double seconds = duration / 100000.0;
    const long long whole = static_cast<long long>(seconds);
    const long long nine = static_cast<long long>((seconds - double(whole)) * 1000000000.0);
    return whole == duration / 100000 && nine == static_cast<long long>(duration % 100000) * 10000;
}

std::optional<SDataRecordLayout> ChooseDataRecord(double hz) {
    if (!(hz >= 0.1 && hz <= 100000))
        return std::nullopt;
    std::optional<SDataRecordLayout> exact, close, best;
    double bestError = 1e300;
    for (int d = kShortestRecord; d <= kLongestRecord && !exact; ++d) {
        if (!EdfKeepsDuration(d))
            continue;
        const double want = hz * d / 100000.0;
        const double n = std::round(want);
        if (n < 1 || n > kMaxRecordSamples)
            continue;
        const double error = std::abs(n - want) / want;
        const SDataRecordLayout layout{int(n), d};
        if (error < 1e-12)
            exact = layout;
        else if (error <= kExactEnough && !close)
            close = layout;
        if (error < bestError) {
            bestError = error;
            best = layout;
        }
    }
    return exact ? exact : close ? close : best;
}

CEdfWriter::~CEdfWriter() {
    Abandon();
}

bool CEdfWriter::Open(const QString& path, const SEdfSetup& setup, QString& error) {
    m_layout = setup.layout;
    m_record.assign(size_t(kEdfSignalCount) * size_t(m_layout.samples), 0);
    m_fill = 0;
    m_samples = m_records = m_padded = 0;
    m_dropped = 0;
    m_annotations.clear();

    const QByteArray name = QFile::encodeName(path);
    errno = 0;
    m_handle = edfopen_file_writeonly(name.constData(), EDFLIB_FILETYPE_EDFPLUS, kEdfSignalCount);
    if (m_handle < 0) {
        error = LastError("cannot create the EDF+ file");
        return false;
    }
    bool ok = edf_set_datarecord_duration(m_handle, m_layout.duration) == 0;
    for (int s = 0; s < kEdfSignalCount; ++s) {
        const SEdfSignal& sig = kEdfSignals[s];
        ok = ok && edf_set_samplefrequency(m_handle, s, m_layout.samples) == 0 &&
             edf_set_digital_minimum(m_handle, s, kDigitalMin) == 0 &&
             edf_set_digital_maximum(m_handle, s, kDigitalMax) == 0 &&
             edf_set_physical_minimum(m_handle, s, 0) == 0 &&
             edf_set_physical_maximum(m_handle, s, sig.physicalMax) == 0 &&
             edf_set_label(m_handle, s, sig.label) == 0 &&
             edf_set_transducer(m_handle, s, sig.transducer) == 0 &&
             edf_set_physical_dimension(m_handle, s, sig.dimension) == 0;
    }
    // EDF+ holds dates from 1985 to 2084; outside that (or unknown) the start
    // is EDF's own "unknown", 1 January 1985.
    const QDate d = setup.start.date();
    const QTime t = setup.start.time();
    if (setup.start.isValid() && d.year() >= 1985 && d.year() <= 2084) {
        ok = ok &&
             edf_set_startdatetime(m_handle, d.year(), d.month(), d.day(), t.hour(), t.minute(),
                                   t.second()) == 0 &&
             edf_set_subsecond_starttime(m_handle, t.msec() * 10000) == 0;
    } else {
        ok = ok && edf_set_startdatetime(m_handle, 1985, 1, 1, 0, 0, 0) == 0;
    }
    ok = ok && edf_set_equipment(m_handle, setup.equipment.toUtf8().constData()) == 0 &&
         edf_set_recording_additional(m_handle, setup.recordingNote.toUtf8().constData()) == 0;

    // Each annotation signal holds one annotation per data record: enough of
    // them for what is expected, but no more (each costs space in every record).
    const uint64_t records = std::max<uint64_t>(
        1, (setup.expectedSamples + uint64_t(m_layout.samples) - 1) / uint64_t(m_layout.samples));
    const uint64_t wanted =
        (uint64_t(std::max(setup.expectedAnnotations, 1)) + records - 1) / records;
    m_annotationSignals = int(std::min<uint64_t>(wanted, kMaxAnnotationSignals));
    ok = ok && edf_set_number_of_annotation_signals(m_handle, m_annotationSignals) == 0;
    if (!ok) {
        error = QStringLiteral("EDFlib refused the header");
        Abandon();
        return false;
    }
    return true;
}

bool CEdfWriter::WriteRecord(QString& error) {
    errno = 0;
    if (edf_blockwrite_digital_short_samples(m_handle, m_record.data()) != 0) {
        error = LastError("cannot write the EDF+ file");
        return false;
    }
    ++m_records;
    m_fill = 0;
    return true;
}

bool CEdfWriter::Add(const uint16_t raw[kEdfSignalCount], QString& error) {
    const size_t n = size_t(m_layout.samples);
    for (int s = 0; s < kEdfSignalCount; ++s) {
        m_last[s] = short(int(raw[s]) - 32768);
        m_record[size_t(s) * n + size_t(m_fill)] = m_last[s];
    }
    ++m_samples;
    if (++m_fill == m_layout.samples)
        return WriteRecord(error);
    return true;
}

bool CEdfWriter::Close(QString& error) {
    if (m_handle < 0) {
        error = QStringLiteral("no EDF+ file open");
        return false;
    }
    if (m_fill > 0) {
        // EDF holds whole data records only.
        const size_t n = size_t(m_layout.samples);
        m_padded = uint64_t(m_layout.samples - m_fill);
        const double end = double(m_samples) / m_layout.Rate();
        for (int s = 0; s < kEdfSignalCount; ++s)
            std::fill(m_record.begin() + ptrdiff_t(size_t(s) * n + size_t(m_fill)),
                      m_record.begin() + ptrdiff_t(size_t(s + 1) * n), m_last[s]);
        Annotate({end, double(m_padded) / m_layout.Rate(), "End of data, padding follows"});
        if (!WriteRecord(error)) {
            Abandon();
            return false;
        }
    }

    // The file holds one annotation per annotation signal and data record; if
    // there are more, the reports about the input give way first.
    const size_t room = size_t(m_records) * size_t(m_annotationSignals);
    std::stable_sort(m_annotations.begin(), m_annotations.end(),
                     [](const SEdfAnnotation& a, const SEdfAnnotation& b) {
                         return a.problem != b.problem ? !a.problem : false;
                     });
    if (m_annotations.size() > room) {
        m_dropped = int(m_annotations.size() - room);
        m_annotations.resize(room);
    }
    std::stable_sort(
        m_annotations.begin(), m_annotations.end(),
        [](const SEdfAnnotation& a, const SEdfAnnotation& b) { return a.onset < b.onset; });
    for (const SEdfAnnotation& a : m_annotations) {
        const long long onset = std::llround(a.onset * 10000.0); // EDFlib's 100 us
        const long long duration = a.duration < 0 ? -1 : std::llround(a.duration * 10000.0);
        QByteArray text = a.text.left(kAnnotationTextBytes);
        if (edfwrite_annotation_utf8(m_handle, onset, duration, text.constData()) != 0) {
            error = QStringLiteral("EDFlib refused an annotation");
            Abandon();
            return false;
        }
    }
    errno = 0;
    const int rc = edfclose_file(m_handle);
    m_handle = -1;
    if (rc != 0) {
        error = LastError("cannot finish the EDF+ file");
        return false;
    }
    return true;
}

void CEdfWriter::Abandon() {
    if (m_handle >= 0)
        edfclose_file(m_handle);
    m_handle = -1;
}
