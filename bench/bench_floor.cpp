// tovrel-bench-floor: the least any reader of the device stream costs. It
// starts the simulated device, reads its terminal with plain termios read()
// into a buffer and does nothing else, and reports its own CPU time.
//
//   tovrel-bench-floor SIMDEVICE PORT RATE SECONDS WARMUP
#include "bench/BenchSupport.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {
double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s SIMDEVICE PORT RATE SECONDS WARMUP\n", argv[0]);
        return 2;
    }
    const std::string simdevice = argv[1];
    const int port = std::atoi(argv[2]);
    const double rate = std::atof(argv[3]);
    const double seconds = std::atof(argv[4]);
    const double warmup = std::atof(argv[5]);

    const std::string command = "'" + simdevice + "' --start --port COM" + std::to_string(port) +
                                " --rate " + std::to_string(rate) + " --duration " +
                                std::to_string(seconds + 2) + " 2>/dev/null";
    std::FILE* device = popen(command.c_str(), "r");
    if (!device) {
        std::perror("popen");
        return 1;
    }
    char line[512];
    std::string path;
    while (path.empty() && std::fgets(line, sizeof line, device)) {
        if (const char* at = std::strstr(line, " at /dev/")) {
            path = at + 4;
            path = path.substr(0, path.find(' '));
        }
    }
    if (path.empty()) {
        std::fprintf(stderr, "bench: the simulated device did not come up\n");
        pclose(device);
        return 1;
    }

    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY);
    if (fd < 0) {
        std::perror(path.c_str());
        pclose(device);
        return 1;
    }
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);

    static unsigned char buf[4096];
    unsigned long long bytes = 0, reads = 0;
    const double start = Now();
    double cpuAtWarmup = bench::ProcessCpuSeconds(), tWarmup = start;
    bool warm = warmup <= 0;
    for (;;) {
        const double now = Now();
        if (now - start >= seconds)
            break;
        if (!warm && now - start >= warmup) {
            warm = true;
            cpuAtWarmup = bench::ProcessCpuSeconds();
            tWarmup = now;
        }
        // Only so that the loop ends when the stream stops; read() does the work.
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 500) <= 0)
            continue;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        bytes += (unsigned long long)n;
        ++reads;
    }
    const double cpu = bench::ProcessCpuSeconds() - cpuAtWarmup;
    const double wall = Now() - tWarmup;
    close(fd);
    pclose(device);

    bench::ResultLine("floor")
        .Add("rate", rate, 1)
        .Add("seconds", seconds, 1)
        .Add("bytes", uint64_t(bytes))
        .Add("reads", uint64_t(reads))
        .Add("cpu_pct", 100.0 * cpu / wall, 3)
        .Print();
    return bytes > 0 ? 0 : 1;
}
