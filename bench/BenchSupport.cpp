#include "bench/BenchSupport.h"

#include "tools/SimDevice.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

namespace bench {

namespace {
long StatusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0)
            return std::strtol(line.c_str() + n, nullptr, 10);
    return 0;
}
} // namespace

uint64_t NextIndex(uint64_t previousIndex, uint8_t previous, uint8_t current) {
    const unsigned step = uint8_t(current - previous);
    return previousIndex + (step == 0 ? 256 : step);
}

void RecordingReader::Line(std::string_view line) {
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line.empty())
        return;
    ++m_tally.lines;
    uint8_t rec[kRecordSize];
    if (ParseRecordingLine(line.data(), line.size(), rec) == ELineKind::Malformed ||
        !simdev::RecordIntact(rec)) {
        ++m_tally.badLines;
        return;
    }
    ++m_tally.intact;
    if (!m_tally.any) {
        // Numbering starts at 0 with the first record sampled.
        m_tally.lastIndex = rec[0];
        m_tally.any = true;
    } else {
        m_tally.lastIndex = NextIndex(m_tally.lastIndex, m_prev, rec[0]);
    }
    m_prev = rec[0];
    m_tally.lost = m_tally.lastIndex + 1 - m_tally.intact;
}

void RecordingReader::Feed(std::string_view text) {
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        if (nl == std::string_view::npos) {
            m_partial.append(text);
            return;
        }
        if (m_partial.empty()) {
            Line(text.substr(0, nl + 1));
        } else {
            m_partial.append(text.substr(0, nl + 1));
            Line(m_partial);
            m_partial.clear();
        }
        text.remove_prefix(nl + 1);
    }
}

RecordingTally RecordingReader::Finish() {
    if (!m_partial.empty()) {
        Line(m_partial);
        m_partial.clear();
    }
    return m_tally;
}

bool TallyRecordingFile(const std::string& path, RecordingTally& tally) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    RecordingReader reader;
    std::vector<char> buf(1 << 16);
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0)
        reader.Feed(std::string_view(buf.data(), n));
    std::fclose(f);
    tally = reader.Finish();
    return true;
}

double ProcessCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long ThreadContextSwitches(long tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
    long total = 0;
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
            in >> value;
            total += value;
        }
    }
    return total;
}

double ThreadCpuSeconds(long tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The name in parentheses may hold spaces; the fields after it do not.
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        else if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

std::vector<ThreadInfo> ProcessThreads() {
    std::vector<ThreadInfo> out;
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return out;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        const long tid = std::strtol(e->d_name, nullptr, 10);
        std::ifstream in(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        std::getline(in, name);
        out.push_back({tid, name});
    }
    closedir(dir);
    std::sort(out.begin(), out.end(),
              [](const ThreadInfo& a, const ThreadInfo& b) { return a.tid < b.tid; });
    return out;
}

long ResidentKb() {
    return StatusKb("VmRSS:");
}

long PeakResidentKb() {
    return StatusKb("VmHWM:");
}

double Quantile(std::vector<double>& values, double q) {
    if (values.empty())
        return 0;
    q = std::clamp(q, 0.0, 1.0);
    size_t rank = size_t(std::ceil(q * double(values.size())));
    rank = std::clamp<size_t>(rank, 1, values.size()) - 1;
    std::nth_element(values.begin(), values.begin() + long(rank), values.end());
    return values[rank];
}

ResultLine::ResultLine(std::string_view kind) : m_text("RESULT kind=") {
    m_text.append(kind);
}

ResultLine& ResultLine::Add(std::string_view key, double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return Add(key, std::string_view(buf));
}

ResultLine& ResultLine::Add(std::string_view key, uint64_t value) {
    return Add(key, std::string_view(std::to_string(value)));
}

ResultLine& ResultLine::Add(std::string_view key, std::string_view value) {
    m_text += ' ';
    m_text.append(key);
    m_text += '=';
    m_text.append(value);
    return *this;
}

void ResultLine::Print(std::FILE* out) const {
    std::fprintf(out, "%s\n", m_text.c_str());
    std::fflush(out);
}

} // namespace bench
