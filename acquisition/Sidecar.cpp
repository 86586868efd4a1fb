#include "acquisition/Sidecar.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#ifndef TOVREL_VERSION
#define TOVREL_VERSION "unknown"
#endif

int SSidecar::NextMarkerNumber() const {
    int last = 0;
    for (const SSidecarSegment& s : segments)
        for (const SSidecarMarker& m : s.markers)
            last = std::max(last, m.number);
    return last + 1;
}

QString SidecarProgramVersion() {
    return QStringLiteral(TOVREL_VERSION);
}

QString SidecarPathFor(const QString& recordingPath) {
    if (recordingPath.endsWith(QStringLiteral(".txt"), Qt::CaseInsensitive))
        return recordingPath.left(recordingPath.size() - 4) + QStringLiteral(".json");
    return recordingPath + QStringLiteral(".json");
}

QString SidecarTime(const QDateTime& t) {
    // Qt writes "Z" for a zero offset; the offset is always spelled out here
    // so that every time in the file has the same shape.
    const int offset = t.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
           QStringLiteral("%1%2:%3")
               .arg(offset < 0 ? '-' : '+')
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QDateTime ParseSidecarTime(const QString& text) {
    QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    // A time without an offset would be read in this machine's zone, which
    // need not be the one it was written in.
    if (!t.isValid() || t.timeSpec() == Qt::LocalTime)
        return {};
    return t;
}

std::optional<SSidecarRate> MeasuredRate(uint64_t records, double seconds) {
    if (records == 0 || !(seconds > 0))
        return std::nullopt;
    return SSidecarRate{double(records) / seconds, records, seconds};
}

// ---- writing -------------------------------------------------------------------

namespace {

QJsonValue TextOrNull(const QString& text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonObject SegmentToJson(const SSidecarSegment& s) {
    QJsonObject o;
    o[QStringLiteral("start")] = s.start;
    o[QStringLiteral("stop")] = TextOrNull(s.stop);
    o[QStringLiteral("first_line")] = double(s.firstLine);
    o[QStringLiteral("records")] = double(s.records);
    if (s.firstHandOver)
        o[QStringLiteral("first_handover")] = QJsonObject{
            {QStringLiteral("after_start_s"), s.firstHandOver->afterStart},
            {QStringLiteral("records"), double(s.firstHandOver->records)},
        };
    else
        o[QStringLiteral("first_handover")] = QJsonValue(QJsonValue::Null);
    if (s.rate) {
        QJsonObject ro{
            {QStringLiteral("hz"), s.rate->hz},
            {QStringLiteral("records"), double(s.rate->records)},
            {QStringLiteral("seconds"), s.rate->seconds},
        };
        if (s.rate->uncertaintyHz > 0)
            ro[QStringLiteral("uncertainty_hz")] = s.rate->uncertaintyHz;
        o[QStringLiteral("rate")] = ro;
    } else
        o[QStringLiteral("rate")] = QJsonValue(QJsonValue::Null);
    QJsonArray resumes;
    for (const SSidecarResume& r : s.resumes)
        resumes.append(QJsonObject{
            {QStringLiteral("line"), double(r.line)},
            {QStringLiteral("after_start_s"), r.afterStart},
            {QStringLiteral("records"), double(r.records)},
        });
    o[QStringLiteral("resumes")] = resumes;
    QJsonObject port{{QStringLiteral("name"), s.port.name}, {QStringLiteral("open"), s.port.open}};
    port[QStringLiteral("settings")] = TextOrNull(s.port.settings);
    o[QStringLiteral("port")] = port;
    QJsonArray modes, gains, markers;
    for (const SSidecarMode& m : s.modes)
        modes.append(QJsonObject{
            {QStringLiteral("line"), double(m.line)},
            {QStringLiteral("time"), m.time},
            {QStringLiteral("mode"),
             m.calibration ? QStringLiteral("calibration") : QStringLiteral("test")},
            {QStringLiteral("coef1"), m.coef1},
            {QStringLiteral("coef2"), m.coef2},
        });
    for (const SSidecarGain& g : s.gains)
        gains.append(QJsonObject{
            {QStringLiteral("line"), double(g.line)},
            {QStringLiteral("time"), g.time},
            {QStringLiteral("gain1"), double(g.gain1)},
            {QStringLiteral("gain2"), double(g.gain2)},
        });
    for (const SSidecarMarker& m : s.markers)
        markers.append(QJsonObject{
            {QStringLiteral("number"), m.number},
            {QStringLiteral("line"), double(m.line)},
            {QStringLiteral("time"), m.time},
        });
    o[QStringLiteral("modes")] = modes;
    o[QStringLiteral("gains")] = gains;
    o[QStringLiteral("markers")] = markers;
    return o;
}

} // namespace

QByteArray SidecarToJson(const SSidecar& sidecar) {
    QJsonObject root;
    root[QStringLiteral("format")] = QString::fromLatin1(kSidecarFormat);
    root[QStringLiteral("format_version")] = kSidecarFormatVersion;
    root[QStringLiteral("recording")] = sidecar.recording;
    root[QStringLiteral("program")] = sidecar.program;
    root[QStringLiteral("program_version")] = sidecar.programVersion;
    root[QStringLiteral("written")] = sidecar.written;
    QJsonArray segments;
    for (const SSidecarSegment& s : sidecar.segments)
        segments.append(SegmentToJson(s));
    root[QStringLiteral("segments")] = segments;
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

// ---- reading -------------------------------------------------------------------

namespace {

// Reads members and remembers the first thing wrong, with where it was.
class CReader {
public:
    QString error;

    bool Ok() const { return error.isEmpty(); }

    void Fail(const QString& where, const QString& what) {
        if (error.isEmpty())
            error = where + QStringLiteral(": ") + what;
    }

    // A whole number from 0 to 2^53 (what a JSON number holds exactly).
    uint64_t Count(const QJsonObject& o, const QString& key, const QString& where,
                   uint64_t min = 0) {
        const QJsonValue v = o.value(key);
        const double d = v.toDouble(-1);
        if (!v.isDouble() || d < double(min) || d > 9007199254740992.0 || d != std::floor(d)) {
            Fail(where, QStringLiteral("\"%1\" must be a whole number from %2").arg(key).arg(min));
            return min;
        }
        return uint64_t(d);
    }

    int32_t Int(const QJsonObject& o, const QString& key, const QString& where) {
        const QJsonValue v = o.value(key);
        const double d = v.toDouble();
        if (!v.isDouble() || d != std::floor(d) || d < std::numeric_limits<int32_t>::min() ||
            d > std::numeric_limits<int32_t>::max()) {
            Fail(where, QStringLiteral("\"%1\" must be a whole number").arg(key));
            return 0;
        }
        return int32_t(d);
    }

    double Number(const QJsonObject& o, const QString& key, const QString& where) {
        const QJsonValue v = o.value(key);
        if (!v.isDouble() || !std::isfinite(v.toDouble()) || v.toDouble() < 0) {
            Fail(where, QStringLiteral("\"%1\" must be a number, 0 or more").arg(key));
            return 0;
        }
        return v.toDouble();
    }

    QString Text(const QJsonObject& o, const QString& key, const QString& where,
                 bool nullable = false) {
        const QJsonValue v = o.value(key);
        if (v.isString())
            return v.toString();
        if (nullable && (v.isNull() || v.isUndefined()))
            return {};
        Fail(where, v.isUndefined() ? QStringLiteral("\"%1\" is missing").arg(key)
                                    : QStringLiteral("\"%1\" must be text").arg(key));
        return {};
    }

    QString Time(const QJsonObject& o, const QString& key, const QString& where,
                 bool nullable = false) {
        const QString t = Text(o, key, where, nullable);
        if (!t.isEmpty() && !ParseSidecarTime(t).isValid())
            Fail(where, QStringLiteral("\"%1\" is not a time with its UTC offset: %2").arg(key, t));
        return t;
    }

    QJsonArray Array(const QJsonObject& o, const QString& key, const QString& where) {
        const QJsonValue v = o.value(key);
        if (v.isUndefined())
            return {};
        if (!v.isArray())
            Fail(where, QStringLiteral("\"%1\" must be a list").arg(key));
        return v.toArray();
    }

    QJsonObject Object(const QJsonValue& v, const QString& where) {
        if (!v.isObject())
            Fail(where, QStringLiteral("must be an object"));
        return v.toObject();
    }
};

SSidecarSegment SegmentFromJson(CReader& r, const QJsonObject& o, const QString& where) {
    SSidecarSegment s;
    s.start = r.Time(o, QStringLiteral("start"), where);
    if (s.start.isEmpty())
        r.Fail(where, QStringLiteral("\"start\" is empty"));
    s.stop = r.Time(o, QStringLiteral("stop"), where, true);
    s.firstLine = r.Count(o, QStringLiteral("first_line"), where, 1);
    s.records = r.Count(o, QStringLiteral("records"), where);

    const QJsonValue first = o.value(QStringLiteral("first_handover"));
    if (first.isObject()) {
        const QJsonObject fo = first.toObject();
        const QString fw = where + QStringLiteral(" first_handover");
        SSidecarFirstHandOver f;
        f.afterStart = r.Number(fo, QStringLiteral("after_start_s"), fw);
        f.records = r.Count(fo, QStringLiteral("records"), fw);
        s.firstHandOver = f;
    } else if (!first.isNull() && !first.isUndefined()) {
        r.Fail(where, QStringLiteral("\"first_handover\" must be an object or null"));
    }

    const QJsonValue rate = o.value(QStringLiteral("rate"));
    if (rate.isObject()) {
        const QJsonObject ro = rate.toObject();
        const QString rw = where + QStringLiteral(" rate");
        SSidecarRate sr;
        sr.hz = r.Number(ro, QStringLiteral("hz"), rw);
        sr.records = r.Count(ro, QStringLiteral("records"), rw);
        sr.seconds = r.Number(ro, QStringLiteral("seconds"), rw);
        if (ro.contains(QStringLiteral("uncertainty_hz")))
            sr.uncertaintyHz = r.Number(ro, QStringLiteral("uncertainty_hz"), rw);
        if (!(sr.hz > 0))
            r.Fail(rw, QStringLiteral("\"hz\" must be above 0"));
        s.rate = sr;
    } else if (!rate.isNull() && !rate.isUndefined()) {
        r.Fail(where, QStringLiteral("\"rate\" must be an object or null"));
    }

    const QJsonArray resumes = r.Array(o, QStringLiteral("resumes"), where);
    for (qsizetype i = 0; i < resumes.size(); ++i) {
        const QString w = where + QStringLiteral(" resume %1").arg(i + 1);
        const QJsonObject ro = r.Object(resumes[i], w);
        SSidecarResume sr;
        sr.line = r.Count(ro, QStringLiteral("line"), w, 1);
        sr.afterStart = r.Number(ro, QStringLiteral("after_start_s"), w);
        sr.records = r.Count(ro, QStringLiteral("records"), w);
        if (sr.line <= s.firstLine || (!s.resumes.empty() && sr.line <= s.resumes.back().line))
            r.Fail(w, QStringLiteral("\"line\" must come after the segment's first line and "
                                     "the resume before"));
        s.resumes.push_back(sr);
    }

    const QJsonValue port = o.value(QStringLiteral("port"));
    if (port.isObject()) {
        const QJsonObject po = port.toObject();
        s.port.name = r.Text(po, QStringLiteral("name"), where + QStringLiteral(" port"), true);
        s.port.open = po.value(QStringLiteral("open")).toBool();
        s.port.settings =
            r.Text(po, QStringLiteral("settings"), where + QStringLiteral(" port"), true);
    }

    const QJsonArray modes = r.Array(o, QStringLiteral("modes"), where);
    for (qsizetype i = 0; i < modes.size(); ++i) {
        const QString w = where + QStringLiteral(" mode %1").arg(i + 1);
        const QJsonObject mo = r.Object(modes[i], w);
        SSidecarMode m;
        m.line = r.Count(mo, QStringLiteral("line"), w, 1);
        m.time = r.Time(mo, QStringLiteral("time"), w, true);
        const QString mode = r.Text(mo, QStringLiteral("mode"), w);
        if (mode != QStringLiteral("test") && mode != QStringLiteral("calibration"))
            r.Fail(w, QStringLiteral("\"mode\" must be \"test\" or \"calibration\""));
        m.calibration = mode == QStringLiteral("calibration");
        m.coef1 = r.Int(mo, QStringLiteral("coef1"), w);
        m.coef2 = r.Int(mo, QStringLiteral("coef2"), w);
        s.modes.push_back(m);
    }
    const QJsonArray gains = r.Array(o, QStringLiteral("gains"), where);
    for (qsizetype i = 0; i < gains.size(); ++i) {
        const QString w = where + QStringLiteral(" gain %1").arg(i + 1);
        const QJsonObject go = r.Object(gains[i], w);
        SSidecarGain g;
        g.line = r.Count(go, QStringLiteral("line"), w, 1);
        g.time = r.Time(go, QStringLiteral("time"), w, true);
        g.gain1 = uint32_t(r.Count(go, QStringLiteral("gain1"), w));
        g.gain2 = uint32_t(r.Count(go, QStringLiteral("gain2"), w));
        s.gains.push_back(g);
    }
    const QJsonArray markers = r.Array(o, QStringLiteral("markers"), where);
    for (qsizetype i = 0; i < markers.size(); ++i) {
        const QString w = where + QStringLiteral(" marker %1").arg(i + 1);
        const QJsonObject mo = r.Object(markers[i], w);
        SSidecarMarker m;
        m.number = int(r.Count(mo, QStringLiteral("number"), w, 1));
        m.line = r.Count(mo, QStringLiteral("line"), w, 1);
        m.time = r.Time(mo, QStringLiteral("time"), w, true);
        s.markers.push_back(m);
    }
    return s;
}

} // namespace

bool SidecarFromJson(const QByteArray& json, SSidecar& out, QString& error) {
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (doc.isNull()) {
        error = QStringLiteral("not JSON (%1 at byte %2)")
                    .arg(parseError.errorString())
                    .arg(parseError.offset);
        return false;
    }
    if (!doc.isObject()) {
        error = QStringLiteral("not a sidecar (the top level is not an object)");
        return false;
    }
    const QJsonObject root = doc.object();
    if (root.value(QStringLiteral("format")).toString() != QString::fromLatin1(kSidecarFormat)) {
        error = QStringLiteral("not a sidecar (\"format\" is not \"%1\")")
                    .arg(QString::fromLatin1(kSidecarFormat));
        return false;
    }
    const int version = root.value(QStringLiteral("format_version")).toInt(0);
    if (version < 1 || version > kSidecarFormatVersion) {
        error = QStringLiteral("format version %1 is not one this program reads (it reads %2)")
                    .arg(root.value(QStringLiteral("format_version")).toVariant().toString())
                    .arg(kSidecarFormatVersion);
        return false;
    }

    CReader r;
    SSidecar s;
    s.recording = r.Text(root, QStringLiteral("recording"), QStringLiteral("sidecar"), true);
    s.program = r.Text(root, QStringLiteral("program"), QStringLiteral("sidecar"), true);
    s.programVersion =
        r.Text(root, QStringLiteral("program_version"), QStringLiteral("sidecar"), true);
    s.written = r.Text(root, QStringLiteral("written"), QStringLiteral("sidecar"), true);
    const QJsonValue segments = root.value(QStringLiteral("segments"));
    if (!segments.isArray())
        r.Fail(QStringLiteral("sidecar"), QStringLiteral("\"segments\" must be a list"));
    const QJsonArray list = segments.toArray();
    for (qsizetype i = 0; i < list.size() && r.Ok(); ++i) {
        const QString where = QStringLiteral("segment %1").arg(i + 1);
        SSidecarSegment seg = SegmentFromJson(r, r.Object(list[i], where), where);
        if (!s.segments.empty() && seg.firstLine < s.segments.back().firstLine)
            r.Fail(where, QStringLiteral("\"first_line\" is before the previous segment's"));
        s.segments.push_back(std::move(seg));
    }
    if (!r.Ok()) {
        error = r.error;
        return false;
    }
    out = std::move(s);
    return true;
}

bool WriteSidecar(const QString& path, const SSidecar& sidecar, QString& error) {
    // Every step is checked on its own: a full disk may take the bytes into
    // the page cache and refuse them only at the close, and a buffered
    // writer would lose that refusal and rename an empty file over the
    // previous sidecar. Until the rename the previous sidecar stays as it was.
    const QByteArray json = SidecarToJson(sidecar);
    const QByteArray target = QFile::encodeName(path);
    const int slash = target.lastIndexOf('/');
    QByteArray temp = target.left(slash + 1) + '.' + target.mid(slash + 1) + ".XXXXXX";
    auto fail = [&](const char* step, int err) {
        error = QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(std::strerror(err)),
                                              QString::fromLatin1(step));
        return false;
    };
    const int fd = mkstemp(temp.data());
    if (fd < 0)
        return fail("create", errno);
    const mode_t mask = umask(0);
    umask(mask);
    (void)fchmod(fd, 0666 & ~mask);
    qsizetype done = 0;
    while (done < json.size()) {
        const ssize_t n = ::write(fd, json.constData() + done, size_t(json.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(temp.constData());
            return fail("write", err);
        }
        done += n;
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.constData());
        return fail("close", err);
    }
    if (::rename(temp.constData(), target.constData()) != 0) {
        const int err = errno;
        ::unlink(temp.constData());
        return fail("rename", err);
    }
    return true;
}

bool ReadSidecar(const QString& path, SSidecar& out, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return false;
    }
    // A sidecar is a few kilobytes; anything far larger is not one, and is
    // not read whole into memory.
    constexpr qint64 kMaxSidecarBytes = 64 << 20;
    if (file.size() > kMaxSidecarBytes) {
        error = QStringLiteral("too large for a sidecar (%1 bytes)").arg(file.size());
        return false;
    }
    return SidecarFromJson(file.readAll(), out, error);
}
