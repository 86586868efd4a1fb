#include "tools/export/EdfOutput.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <edflib.h>

namespace {
constexpr char kDeviceFilter[] = "device's own, not known; none added by the panel or the export";
constexpr char kPulseFilter[] = "device's own, not known; pulse gain as sent (see annotations)";
} // namespace

// Each label is a type word and the signal's name as the panel shows it. ECG
// is EDF+'s own type word; the others have none that fits (EDF+'s "Sound" and
// the rest read as EEG to MNE-Python), so they are MISC, which MNE types as
// "misc" and plots on its own scale. The device says nothing of its filters.
const SEdfSignal kEdfSignals[kEdfSignalCount] = {
    {"MISC Pulse 1", "pulse wave sensor 1, record bytes 2-3 as sent", "raw/20", 3276.75,
     kPulseFilter},
    {"MISC Pulse 2", "pulse wave sensor 2, record bytes 4-5 as sent", "raw/20", 3276.75,
     kPulseFilter},
    {"ECG ECG", "ECG electrodes, record bytes 6-7 as sent", "raw/20", 3276.75, kDeviceFilter},
    {"MISC Heart sound", "heart sound sensor, record bytes 8-9 as sent", "raw/20", 3276.75,
     kDeviceFilter},
    {"MISC Pressure 1", "pressure sensor 1, record bytes 10-11 as sent", "raw", 65535,
     kDeviceFilter},
    {"MISC Pressure 2", "pressure sensor 2, record bytes 12-13 as sent", "raw", 65535,
     kDeviceFilter},
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

namespace {

// How far the rate of `duration` (10 us units) holding the nearest whole
// number of samples lies from hz, relative; samples 0 when none fit.
double FitError(double hz, int duration, int& samples) {
    const double want = hz * duration / 100000.0;
    const double n = std::round(want);
    samples = n < 1 || n > kMaxRecordSamples ? 0 : int(n);
    return samples ? std::abs(n - want) / want : 1e300;
}

// The shortest duration an exact number of samples fills, if any. An exact
// fit is samples/duration = hz/100000 as a fraction; any such fraction with a
// denominator of at most 10 s is a convergent of hz/100000's continued
// fraction (it is closer than 1/(2 q^2)), and every exact duration a multiple
// of its denominator. So a few dozen steps replace trying every duration.
std::optional<SDataRecordLayout> ExactDataRecord(double hz) {
    const double x = hz / 100000.0;
    long long p0 = 0, q0 = 1, p1 = 1, q1 = 0;
    double r = x;
    long long q = 0;
    for (int step = 0; step < 64; ++step) {
        const double a = std::floor(r);
        if (a > 1e12)
            break;
        const long long p2 = (long long)(a)*p1 + p0, q2 = (long long)(a)*q1 + q0;
        if (q2 > kLongestRecord)
            break;
        int n = 0;
        if (q2 > 0 && FitError(hz, int(q2), n) < 1e-12 && n > 0 && n == p2) {
            q = q2;
            break;
        }
        const double frac = r - a;
        if (!(frac > 1e-15))
            break;
        r = 1 / frac;
        p0 = p1, q0 = q1, p1 = p2, q1 = q2;
    }
    if (q == 0)
        return std::nullopt;
    for (long long d = (kShortestRecord + q - 1) / q * q; d <= kLongestRecord; d += q) {
        int n = 0;
        if (EdfKeepsDuration(int(d)) && FitError(hz, int(d), n) < 1e-12)
            return SDataRecordLayout{n, int(d)};
    }
    return std::nullopt;
}

} // namespace

std::optional<SDataRecordLayout> ChooseDataRecord(double hz) {
    if (!(hz >= 0.1 && hz <= 100000))
        return std::nullopt;
    if (const auto exact = ExactDataRecord(hz))
        return exact;
    // The shortest close enough; usually found within a few thousand
    // durations. Only a rate nothing fits closely tries them all.
    std::optional<SDataRecordLayout> best;
    double bestError = 1e300;
    for (int d = kShortestRecord; d <= kLongestRecord; ++d) {
        if (!EdfKeepsDuration(d))
            continue;
        int n = 0;
        const double error = FitError(hz, d, n);
        if (n == 0)
            continue;
        if (error <= kExactEnough)
            return SDataRecordLayout{n, d};
        if (error < bestError) {
            bestError = error;
            best = SDataRecordLayout{n, d};
        }
    }
    return best;
}

long long AnnotationOnset(int64_t sample, double rate) {
    const double t = double(sample) / rate * 10000.0; // in EDFlib's 100 us
    const double up = std::ceil(t - 1e-6);
    // Well under half a period: exactly half would be a tie for the rounding reader.
    return up - t < 0.5 * 10000.0 / rate - 1e-6 ? (long long)(up) : std::llround(t);
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
             edf_set_prefilter(m_handle, s, sig.prefilter) == 0 &&
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
        for (int s = 0; s < kEdfSignalCount; ++s)
            std::fill(m_record.begin() + ptrdiff_t(size_t(s) * n + size_t(m_fill)),
                      m_record.begin() + ptrdiff_t(size_t(s + 1) * n), m_last[s]);
        Annotate({int64_t(m_samples), int64_t(m_padded), "End of data, padding follows"});
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
        [](const SEdfAnnotation& a, const SEdfAnnotation& b) { return a.sample < b.sample; });
    for (const SEdfAnnotation& a : m_annotations) {
        const long long onset = AnnotationOnset(a.sample, m_layout.Rate());
        const long long duration =
            a.samples < 0 ? -1 : std::llround(double(a.samples) / m_layout.Rate() * 10000.0);
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
