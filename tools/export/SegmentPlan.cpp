#include "tools/export/SegmentPlan.h"

#include "acquisition/RecordFormat.h"
#include "tools/export/ExportFiles.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <map>

namespace {

// Notes of one kind listed before the rest are only counted.
constexpr int kQuotedNotes = 10;

QString TimeText(const QDateTime& t) {
    return t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

// Notes of one kind: the first few in full, then how many more.
class CNoteList {
public:
    void Add(const QString& text) {
        if (m_count++ < kQuotedNotes)
            m_quoted << text;
    }
    void AppendTo(QStringList& notes, const QString& more) const {
        notes << m_quoted;
        if (m_count > kQuotedNotes)
            notes << more.arg(m_count - kQuotedNotes);
    }

private:
    QStringList m_quoted;
    int m_count = 0;
};

int KindOrder(EPlanEvent k) {
    return k == EPlanEvent::Mode ? 0 : k == EPlanEvent::Gain ? 1 : 2;
}

// A segment's events in line order (at one line: modes, gains, markers,
// each in the sidecar's order).
std::vector<SPlanEvent> SegmentEvents(const SSidecarSegment& s) {
    std::vector<SPlanEvent> events;
    events.reserve(s.modes.size() + s.gains.size() + s.markers.size());
    for (size_t i = 0; i < s.modes.size(); ++i)
        events.push_back({EPlanEvent::Mode, s.modes[i].line, i});
    for (size_t i = 0; i < s.gains.size(); ++i)
        events.push_back({EPlanEvent::Gain, s.gains[i].line, i});
    for (size_t i = 0; i < s.markers.size(); ++i)
        events.push_back({EPlanEvent::Marker, s.markers[i].line, i});
    std::stable_sort(events.begin(), events.end(), [](const SPlanEvent& a, const SPlanEvent& b) {
        return a.line != b.line ? a.line < b.line : KindOrder(a.kind) < KindOrder(b.kind);
    });
    return events;
}

} // namespace

double LineRecordRate(const QString& settings, QString* described) {
    static const QRegularExpression form(
        QStringLiteral("^\\s*(\\d+)\\s*,\\s*([neoms])\\s*,\\s*([5-8])\\s*,\\s*(1|1\\.5|2)\\s*$"),
        QRegularExpression::CaseInsensitiveOption);
    const auto m = form.match(settings);
    double baud = 926000, data = 8, stop = 1;
    QChar parity = QLatin1Char('N');
    if (m.hasMatch() && m.captured(1).toDouble() > 0) {
        baud = m.captured(1).toDouble();
        parity = m.captured(2).at(0).toUpper();
        data = m.captured(3).toDouble();
        stop = m.captured(4).toDouble();
    }
    if (described)
        *described = QStringLiteral("%1 baud %2%3%4")
                         .arg(baud, 0, 'f', 0)
                         .arg(data, 0, 'f', 0)
                         .arg(parity)
                         .arg(stop, 0, 'g', 2);
    const double bitsPerByte = 1 + data + (parity == QLatin1Char('N') ? 0 : 1) + stop;
    return baud / bitsPerByte / kRecordSize;
}

bool RateAboveLine(const SSidecarRate& r, double lineRate) {
    // What the measurement cannot tell apart: three of its uncertainties. A
    // sidecar without one has the records over the time between hand-overs,
    // which a backlog in the port's queue at the start pushes up: over a
    // second of recording the panel has been seen 9 % above the line. Such a
    // rate is taken for impossible only 10 % above the line, or a tenth of a
    // second's worth over a shorter time; two devices' records are far more.
    constexpr double kUnfittedShare = 0.1;
    constexpr double kUnfittedSeconds = 0.1;
    const double slack = r.uncertaintyHz > 0 ? 3 * r.uncertaintyHz
                         : r.seconds > 0
                             ? r.hz * std::max(kUnfittedShare, kUnfittedSeconds / r.seconds)
                             : r.hz;
    return r.hz - slack > lineRate * kLineRateMargin;
}

bool EdfYearInRange(const QDateTime& t) {
    return t.isValid() && t.date().year() >= 1985 && t.date().year() <= 2084;
}

QDateTime FirstLineTime(const QDateTime& start, double afterStart, uint64_t records, double rate) {
    if (!start.isValid() || !(rate > 0))
        return {};
    const double offset = afterStart - double(records) / rate;
    constexpr double kCenturies = 200 * 365.25 * 86400;
    if (!std::isfinite(offset) || std::abs(offset) > kCenturies)
        return {};
    return start.addMSecs(std::llround(offset * 1000.0));
}

bool RatesDisagree(double a, double ua, double b, double ub) {
    // Ten combined uncertainties: chance alone gives that practically never.
    constexpr double kFar = 10;
    return ua > 0 && ub > 0 && std::abs(a - b) > kFar * std::sqrt(ua * ua + ub * ub);
}

QString RateText(double hz, double uncertainty) {
    if (uncertainty > 0)
        return QStringLiteral("%1 \u00b1 %2 Hz").arg(hz, 0, 'f', 4).arg(uncertainty, 0, 'f', 4);
    return QStringLiteral("%1 Hz").arg(hz, 0, 'f', 4);
}

QDateTime TimeFromRecordingName(const QString& path) {
    static const QRegularExpression name(
        QStringLiteral("^(\\d{4})(\\d\\d)(\\d\\d)(\\d\\d)(\\d\\d)(\\d\\d)\\.txt$"),
        QRegularExpression::CaseInsensitiveOption);
    const auto m = name.match(QFileInfo(path).fileName());
    if (!m.hasMatch())
        return {};
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time);
}

SExportPlan PlanExport(const SPlanInput& in) {
    SExportPlan plan;
    static const std::vector<SSidecarSegment> kNone;
    const std::vector<SSidecarSegment>& segs = in.sidecar ? in.sidecar->segments : kNone;
    const QString sidecarName = Native(in.sidecarPath);

    // The parts, and which events go with each: an event belongs to the part
    // that holds its line, one after a segment's last line to its last part
    // (the export puts it on that part's last line).
    int segment = 0;
    if (!segs.empty()) {
        if (segs.front().firstLine > 1) {
            SSegmentPlan lead; // lines from before the sidecar's first segment
            lead.segment = ++segment;
            lead.endLine = segs.front().firstLine;
            plan.parts.push_back(lead);
        }
        for (size_t i = 0; i < segs.size(); ++i) {
            const SSidecarSegment& s = segs[i];
            const uint64_t end = i + 1 < segs.size() ? segs[i + 1].firstLine : UINT64_MAX;
            if (s.firstLine >= end)
                continue; // no lines
            ++segment;
            const size_t firstPart = plan.parts.size();
            // One part from the start, one from each resume of the stream.
            uint64_t from = s.firstLine;
            int resume = 0;
            for (size_t r = 0; r <= s.resumes.size(); ++r) {
                const uint64_t to = r < s.resumes.size() ? s.resumes[r].line : end;
                if (to == from) {
                    resume = int(r) + 1; // resumed before its first line: timed by the resume
                    continue;
                }
                if (to < from || to > end)
                    continue;
                SSegmentPlan p;
                p.sidecarIndex = int(i);
                p.segment = segment;
                p.resume = resume;
                p.lastOfSegment = to == end;
                p.firstLine = from;
                p.endLine = to;
                plan.parts.push_back(p);
                from = to;
                resume = int(r) + 1;
            }
            const std::vector<SPlanEvent> events = SegmentEvents(s);
            const size_t lastPart = plan.parts.size() - 1;
            size_t e = 0, lastMode = SIZE_MAX;
            for (size_t k = firstPart; k <= lastPart; ++k) {
                SSegmentPlan& p = plan.parts[k];
                p.eventsBegin = plan.events.size();
                // The mode in force where a part after a resume begins,
                // unless one begins there.
                const bool modeHere = e < events.size() && events[e].kind == EPlanEvent::Mode &&
                                      events[e].line <= p.firstLine;
                if (k > firstPart && lastMode != SIZE_MAX && !modeHere)
                    p.modeInForce = int(lastMode);
                for (; e < events.size() && (events[e].line < p.endLine || k == lastPart); ++e) {
                    if (events[e].kind == EPlanEvent::Mode)
                        lastMode = events[e].index;
                    plan.events.push_back(events[e]);
                }
                p.eventsEnd = plan.events.size();
            }
        }
    } else {
        plan.parts.push_back({});
        segment = 1;
    }
    plan.segments = segment;

    // Rates: given, measured for the segment, or measured over the others;
    // none above what the line carries.
    uint64_t pooledRecords = 0;
    double pooledSeconds = 0;
    for (const SSidecarSegment& s : segs)
        if (s.rate) {
            pooledRecords += s.rate->records;
            pooledSeconds += s.rate->seconds;
        }
    CNoteList oddRates, oddTimes, disagreements;
    QString refusal;
    auto odd = [&](CNoteList& list, const QString& text) {
        if (!in.acceptOdd && refusal.isEmpty())
            refusal = text;
        list.Add(text);
    };
    const QString settings0 = segs.empty() ? QString() : segs.front().port.settings;
    if (in.rate) {
        QString line;
        const double most = LineRecordRate(settings0, &line);
        if (*in.rate > most * kLineRateMargin)
            odd(oddRates, QStringLiteral("--rate %1 for %2 is above the %3 records a second "
                                         "that %4 carries")
                              .arg(*in.rate)
                              .arg(Native(in.recording))
                              .arg(most, 0, 'f', 1)
                              .arg(line));
    }
    int lastRated = -1;
    for (size_t i = 0; i < segs.size(); ++i) {
        const SSidecarSegment& s = segs[i];
        if (!s.rate)
            continue;
        QString line;
        const double most = LineRecordRate(s.port.settings, &line);
        if (!in.rate && RateAboveLine(*s.rate, most))
            odd(oddRates, QStringLiteral("%1: segment %2 was measured at %3 (%4 records in %5 s), "
                                         "above the %6 records a second that %7 carries: more "
                                         "than one device's records?")
                              .arg(sidecarName)
                              .arg(i + 1)
                              .arg(RateText(s.rate->hz, s.rate->uncertaintyHz))
                              .arg(s.rate->records)
                              .arg(s.rate->seconds, 0, 'f', 3)
                              .arg(most, 0, 'f', 1)
                              .arg(line));
        if (lastRated >= 0) {
            const SSidecarRate& a = *segs[size_t(lastRated)].rate;
            if (RatesDisagree(a.hz, a.uncertaintyHz, s.rate->hz, s.rate->uncertaintyHz))
                disagreements.Add(
                    QStringLiteral("%1: segments %2 (%3) and %4 (%5) differ in rate by far "
                                   "more than their uncertainties: records of different "
                                   "devices or settings?")
                        .arg(sidecarName)
                        .arg(lastRated + 1)
                        .arg(RateText(a.hz, a.uncertaintyHz))
                        .arg(i + 1)
                        .arg(RateText(s.rate->hz, s.rate->uncertaintyHz)));
        }
        lastRated = int(i);
    }

    std::map<double, SDataRecordLayout> layouts; // the choice is made once a rate
    int lastTimed = -1;
    for (SSegmentPlan& p : plan.parts) {
        const SSidecarSegment* meta = p.sidecarIndex >= 0 ? &segs[size_t(p.sidecarIndex)] : nullptr;
        if (in.rate) {
            p.rate = *in.rate;
            p.rateSource = meta && meta->rate
                               ? QStringLiteral("--rate; the panel measured %1")
                                     .arg(RateText(meta->rate->hz, meta->rate->uncertaintyHz))
                               : QStringLiteral("--rate");
        } else if (meta && meta->rate) {
            p.rate = meta->rate->hz;
            p.rateUncertainty = meta->rate->uncertaintyHz;
            p.rateSource = QStringLiteral("measured by the panel: %1 records in %2 s")
                               .arg(meta->rate->records)
                               .arg(meta->rate->seconds, 0, 'f', 3);
        } else if (pooledSeconds > 0 && pooledRecords > 0) {
            p.rate = double(pooledRecords) / pooledSeconds;
            p.rateSource = QStringLiteral("measured by the panel over the other segments");
        } else {
            plan.error =
                QStringLiteral("no sample rate for %1: %2; give it with --rate HZ (926000 baud "
                               "carry at most 6173.3 records a second)")
                    .arg(Native(in.recording),
                         in.sidecar ? QStringLiteral("its sidecar holds no measured rate")
                                    : QStringLiteral("it has no sidecar"));
            return plan;
        }
        auto found = layouts.find(p.rate);
        if (found == layouts.end()) {
            const auto layout = ChooseDataRecord(p.rate);
            if (!layout) {
                plan.error =
                    QStringLiteral("a rate of %1 Hz cannot be written (0.1 to 100000)").arg(p.rate);
                return plan;
            }
            found = layouts.emplace(p.rate, *layout).first;
        }
        p.layout = found->second;

        // The first line's time: the start, or better, the first hand-over
        // less the time its records took to arrive. Each odd time is told
        // once a segment.
        const bool tell = p.sidecarIndex < 0 || p.sidecarIndex != lastTimed;
        lastTimed = p.sidecarIndex;
        if (meta) {
            const QDateTime start = ParseSidecarTime(meta->start);
            std::optional<SSidecarFirstHandOver> first = meta->firstHandOver;
            if (p.resume > 0) {
                const SSidecarResume& r = meta->resumes[size_t(p.resume - 1)];
                first = SSidecarFirstHandOver{r.afterStart, r.records};
            }
            p.firstLineTime = start;
            if (start.isValid() && !EdfYearInRange(start)) {
                if (tell)
                    odd(oddTimes, QStringLiteral("%1: segment %2 starts %3, outside the years "
                                                 "1985 to 2084 that EDF+ can hold")
                                      .arg(sidecarName)
                                      .arg(p.segment)
                                      .arg(meta->start));
                p.firstLineTime = {};
            } else if (start.isValid() && first) {
                p.firstLineTime = FirstLineTime(start, first->afterStart, first->records, p.rate);
                if (!EdfYearInRange(p.firstLineTime)) {
                    odd(oddTimes,
                        QStringLiteral("%1: segment %2's %3 comes %4 s after its start (%5): its "
                                       "first line's time is outside the years 1985 to 2084 "
                                       "that EDF+ can hold")
                            .arg(sidecarName)
                            .arg(p.segment)
                            .arg(p.resume > 0 ? QStringLiteral("resume %1").arg(p.resume)
                                              : QStringLiteral("first hand-over"))
                            .arg(first->afterStart, 0, 'g', 6)
                            .arg(meta->start));
                    p.firstLineTime = {};
                }
            }
        } else {
            p.firstLineTime = TimeFromRecordingName(in.recording);
            if (p.firstLineTime.isValid() && !EdfYearInRange(p.firstLineTime)) {
                odd(oddTimes, QStringLiteral("%1: the time in its name, %2, is outside the years "
                                             "1985 to 2084 that EDF+ can hold")
                                  .arg(Native(in.recording), TimeText(p.firstLineTime)));
                p.firstLineTime = {};
            }
        }
    }
    if (!refusal.isEmpty()) {
        plan.error = refusal + QStringLiteral("; --accept-odd exports it anyway");
        return plan;
    }
    oddRates.AppendTo(plan.notes, QStringLiteral("... and %1 more segments measured above the "
                                                 "line's rate"));
    if (in.acceptOdd && !plan.notes.isEmpty())
        plan.notes << QStringLiteral("exported at those rates, as --accept-odd asks");
    const int rateNotes = int(plan.notes.size());
    oddTimes.AppendTo(plan.notes, QStringLiteral("... and %1 more odd start times"));
    if (plan.notes.size() > rateNotes)
        plan.notes << QStringLiteral("those start times are taken as unknown, as --accept-odd "
                                     "asks");
    disagreements.AppendTo(plan.notes,
                           QStringLiteral("... and %1 more pairs of segments whose rates differ"));

    for (const SSegmentPlan& p : plan.parts)
        if (p.firstLine <= in.estimatedLines)
            ++plan.edfFiles;
    return plan;
}
