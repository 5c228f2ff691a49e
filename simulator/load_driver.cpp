// meter_load: drives every link of one meter_simulator process at line rate
// and reports the simulator's CPU use, its own, and what each link carried.
// A measuring tool for the simulator, not a client to learn from: it opens
// each link with SNRM, then asks for the simulator's canned answer over and
// over, acknowledging each segment with RR at once.
//
//   meter_load SIMULATOR LINKS SECONDS [--tcp] [--driver-cpu N] [simulator options...]
//
// The simulator is started with --links LINKS and the given options (e.g.
// --baud 9600 --answer size:65536); with --tcp, as a TCP gateway sized for
// LINKS sessions (--tcp 0 --links LINKS), and the driver makes LINKS
// connections to it. With --driver-cpu, the driver moves to core N once the
// simulator has started, which keeps the cores the driver was started on.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "hdlc_codec.h"

using namespace metersim;

namespace {

using Clock = std::chrono::steady_clock;

struct Link {
    int fd = -1;
    Deframer deframer;
    std::uint8_t vs = 0, vr = 0;
    unsigned long long payload = 0;  // information field bytes received after the start
    unsigned long long frames = 0;   // frames received after the start
};

// A session with the simulator's TCP gateway on 127.0.0.1:port.
int connectTo(unsigned short port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

Frame command(FrameKind kind) {
    Frame f;
    f.kind = kind;
    f.dst = Address{1, 0, 1};
    f.src = Address{16, 0, 1};
    return f;
}

void send(Link& link, const Frame& frame) {
    const Bytes bytes = encode(frame);
    if (write(link.fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        std::perror("write");
        std::exit(1);
    }
}

void request(Link& link) {
    Frame f = command(FrameKind::I);
    f.ns = link.vs;
    f.nr = link.vr;
    f.info = {0xE6, 0xE6, 0x00, 0xC0, 0x01};
    link.vs = static_cast<std::uint8_t>((link.vs + 1) & 7);
    send(link, f);
}

void onFrame(Link& link, const Frame& frame, bool counting) {
    if (frame.kind == FrameKind::UA) return request(link);
    if (frame.kind != FrameKind::I) {
        std::cerr << "meter_load: unexpected " << toString(frame.kind) << '\n';
        std::exit(1);
    }
    link.vr = static_cast<std::uint8_t>((frame.ns + 1) & 7);
    if (counting) link.payload += frame.info.size(), ++link.frames;
    if (!frame.segmented) return request(link);
    Frame rr = command(FrameKind::RR);
    rr.nr = link.vr;
    send(link, rr);
}

double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    for (int i = 1; i <= 13 && in >> field; ++i) {
    }
    unsigned long long user = 0, system = 0;
    in >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Busy and total jiffies of the whole machine, from /proc/stat.
std::pair<double, double> machineJiffies() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    in >> cpu;
    double busy = 0, total = 0, value = 0;
    for (int i = 0; i < 8 && in >> value; ++i) {
        total += value;
        if (i != 3 && i != 4) busy += value;  // all but idle and iowait
    }
    return {busy, total};
}

double ownCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: meter_load SIMULATOR LINKS SECONDS [--tcp] [--driver-cpu N] [simulator options...]\n";
        return 2;
    }
    const unsigned links = static_cast<unsigned>(std::atoi(argv[2]));
    const double seconds = std::atof(argv[3]);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    int out[2];
    if (pipe(out) != 0) return 1;
    int next = 4;
    const bool tcp = next < argc && std::string(argv[next]) == "--tcp";
    if (tcp) ++next;
    int driverCpu = -1;
    if (next + 1 < argc && std::string(argv[next]) == "--driver-cpu") driverCpu = std::atoi(argv[next + 1]), next += 2;
    const std::string count = std::to_string(links);
    std::vector<char*> args = {argv[1], const_cast<char*>("--links"), const_cast<char*>(count.c_str())};
    if (tcp) args.push_back(const_cast<char*>("--tcp")), args.push_back(const_cast<char*>("0"));
    for (int i = next; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    const pid_t simulator = fork();
    if (simulator == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);  // no simulator left behind if the driver is killed
        dup2(out[1], 1);
        execv(argv[1], args.data());
        _exit(127);
    }
    close(out[1]);
    if (driverCpu >= 0) {
        cpu_set_t cores;
        CPU_ZERO(&cores);
        CPU_SET(static_cast<unsigned>(driverCpu), &cores);
        if (sched_setaffinity(0, sizeof cores, &cores) != 0) std::perror("meter_load: --driver-cpu");
    }
    FILE* listing = fdopen(out[0], "r");
    std::vector<Link> all(links);
    char path[256];
    unsigned port = 0;
    if (tcp && std::fscanf(listing, " TCP 127.0.0.1:%u", &port) != 1) {
        std::cerr << "meter_load: the simulator did not start\n";
        return 1;
    }
    for (auto& link : all) {
        if (tcp) {
            link.fd = connectTo(static_cast<unsigned short>(port));
            if (link.fd < 0) {
                std::perror("connect");
                return 1;
            }
            continue;
        }
        if (std::fscanf(listing, " PTY %255s", path) != 1) {
            std::cerr << "meter_load: the simulator did not start\n";
            return 1;
        }
        link.fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (link.fd < 0) {
            std::perror(path);
            return 1;
        }
    }

    std::vector<pollfd> fds(links);
    for (unsigned i = 0; i < links; ++i) fds[i] = {all[i].fd, POLLIN, 0};
    for (auto& link : all) send(link, command(FrameKind::SNRM));

    const auto warmUp = Clock::now() + std::chrono::seconds(1);
    const auto end = warmUp + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    double simulatorCpu0 = 0, ownCpu0 = 0;
    std::pair<double, double> machine0;
    bool counting = false;
    std::uint8_t buffer[4096];
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        if (!counting && now >= warmUp) {
            counting = true;
            simulatorCpu0 = cpuSeconds(simulator);
            ownCpu0 = ownCpuSeconds();
            machine0 = machineJiffies();
        }
        if (poll(fds.data(), fds.size(), 100) <= 0) continue;
        for (unsigned i = 0; i < links; ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            const ssize_t n = read(all[i].fd, buffer, sizeof buffer);
            if (n <= 0) continue;
            all[i].deframer.feed(buffer, static_cast<std::size_t>(n));
            while (auto raw = all[i].deframer.next()) {
                Frame frame;
                if (decode(*raw, frame) == DecodeError::None) onFrame(all[i], frame, counting);
            }
        }
        // Gather a few chunks per wake-up, as a head-end reading blocks would.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const double simulatorCpu = cpuSeconds(simulator) - simulatorCpu0;
    const double ownCpu = ownCpuSeconds() - ownCpu0;
    const auto machine = machineJiffies();
    const double machineBusy = (machine.first - machine0.first) / (machine.second - machine0.second);
    kill(simulator, SIGTERM);
    waitpid(simulator, nullptr, 0);

    std::vector<double> rates;
    unsigned long long frames = 0;
    for (const auto& link : all) rates.push_back(static_cast<double>(link.payload) / seconds), frames += link.frames;
    std::sort(rates.begin(), rates.end());
    double sum = 0;
    for (double r : rates) sum += r;
    std::printf("links %5u%s  simulator CPU %5.1f%%  driver CPU %5.1f%%, %.1f us a frame  machine busy %5.1f%% of %ld "
                "cores  information bytes/s per link: worst %.0f, mean %.0f\n",
                links, tcp ? " tcp" : "", 100 * simulatorCpu / seconds, 100 * ownCpu / seconds,
                frames ? 1e6 * ownCpu / static_cast<double>(frames) : 0.0, 100 * machineBusy,
                sysconf(_SC_NPROCESSORS_ONLN), rates.front(), sum / links);
    return 0;
}
