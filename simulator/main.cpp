// meter_simulator: a DLMS/COSEM meter's HDLC link layer on ptys, a tty or
// TCP connections, any number of them served by one event loop.
#include <sys/prctl.h>
#include <sys/resource.h>

#include <fstream>
#include <iostream>
#include <stdexcept>

#include "cli.h"
#include "line.h"
#include "listener.h"
#include "loop.h"

using namespace metersim;

namespace {

// Descriptors beyond those of the lines: stdio, the wake pipe, a listener.
constexpr rlim_t kSpareDescriptors = 16;

// Each pty costs two descriptors (master, and the slave held open), each TCP
// session one. The soft limit is raised to the hard one, as far as the lines
// need.
void raiseDescriptorLimit(unsigned links, unsigned perLink) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t needed = perLink * static_cast<rlim_t>(links) + kSpareDescriptors;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed)
        throw std::runtime_error(std::to_string(links) + " links need " + std::to_string(needed) +
                                 " descriptors; the hard limit (ulimit -Hn) is " + std::to_string(limit.rlim_max));
}

long readNumber(const char* path) {
    std::ifstream in(path);
    long value = -1;
    in >> value;
    return in ? value : -1;
}

// The kernel bounds the number of ptys (kernel.pty.max); say so up front
// rather than failing half-way through.
void checkPtyCount(unsigned links) {
    const long max = readNumber("/proc/sys/kernel/pty/max");
    const long used = readNumber("/proc/sys/kernel/pty/nr");
    if (max < 0 || used < 0) return;
    if (static_cast<long>(links) > max - used)
        throw std::runtime_error(std::to_string(links) + " links need as many pseudo-terminals; " +
                                 std::to_string(max - used) + " are left (kernel.pty.max " + std::to_string(max) +
                                 ", in use " + std::to_string(used) + ")");
}

std::string linkPath(const Options& o, unsigned index) {
    if (o.link.empty() || o.links == 1) return o.link;
    return o.link + "." + std::to_string(index);
}

std::string linkName(const Options& o, unsigned index) {
    return o.links == 1 ? std::string() : "[" + std::to_string(index) + "] ";
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::invalid_argument& e) {
        std::cerr << "meter_simulator: " << e.what() << "\n(see --help)\n";
        return 2;
    }
    if (options.help) {
        std::cout << usage();
        return 0;
    }

    try {
        // Deadlines are met to the microsecond, not the default 50 us of
        // timer slack: at 115200 baud a frame takes only a few milliseconds.
        prctl(PR_SET_TIMERSLACK, 1UL);
        EventLoop loop(options);
        if (options.tcp) {
            raiseDescriptorLimit(options.links, 1);
            auto listener = std::make_unique<Listener>(*options.tcp, options.links);
            std::cout << "TCP 127.0.0.1:" << listener->port() << std::endl;
            loop.listen(std::move(listener));
        } else if (!options.device.empty()) {
            auto line = Line::openDevice(options.device, options.modeE ? 0 : options.baud);
            std::cout << "DEVICE " << line->clientPath() << std::endl;
            loop.add(std::move(line), "");
        } else {
            raiseDescriptorLimit(options.links, 2);
            checkPtyCount(options.links);
            std::string paths;
            for (unsigned i = 0; i < options.links; ++i) {
                auto line = Line::openPty(linkPath(options, i));
                paths += "PTY " + line->clientPath() + "\n";
                loop.add(std::move(line), linkName(options, i));
            }
            std::cout << paths << std::flush;
        }
        loop.run();
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "meter_simulator: " << e.what() << '\n';
        return 1;
    }
}
