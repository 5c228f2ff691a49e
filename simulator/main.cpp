// meter_simulator: a DLMS/COSEM meter's HDLC link layer on a pty or tty.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "cli.h"
#include "faults.h"
#include "hdlc_codec.h"
#include "line.h"
#include "server.h"

using namespace metersim;

namespace {

// With no byte for this long, a started frame is given up, as a meter's
// inter-character time-out would.
constexpr int kIdleMs = 500;

volatile std::sig_atomic_t stopRequested = 0;
int wakePipe[2] = {-1, -1};

void onSignal(int) {
    stopRequested = 1;
    const char c = 0;
    [[maybe_unused]] const ssize_t n = ::write(wakePipe[1], &c, 1);
}

void installSignals() {
    if (pipe(wakePipe) != 0) throw std::runtime_error("pipe failed");
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool stopping() { return stopRequested != 0; }

void sleepUnlessStopped(unsigned ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

struct Stats {
    unsigned long received = 0, bad = 0, foreign = 0, answered = 0, dropped = 0;
};

class Simulator {
public:
    explicit Simulator(const Options& o)
        : options_(o), server_(o.server, Application(o.answer)), faults_(o.faults) {
        if (o.verbose) server_.setLogger([](const std::string& s) { std::cerr << "   " << s << '\n'; });
    }

    int run(Line& line) {
        std::uint8_t buffer[4096];
        while (!stopping()) {
            pollfd fds[2] = {{line.fd(), POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
            const int rc = ::poll(fds, 2, kIdleMs);
            if (rc < 0) {
                if (errno == EINTR) continue;
                throw std::runtime_error("poll failed");
            }
            if (stopping()) break;
            if (rc == 0) {
                if (deframer_.hasPartial()) {
                    log("   incomplete frame dropped after idle line");
                    deframer_.dropPartial();
                }
            } else if (fds[0].revents & POLLIN) {
                const std::size_t n = line.read(buffer, sizeof buffer);
                if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
                deframer_.feed(buffer, n);
            } else {
                // Hangup on a device whose other end is gone: wait for it to return.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            if (!processFrames(line)) {
                line.drain(std::chrono::seconds(2));
                break;
            }
        }
        if (options_.verbose)
            std::cerr << "frames received " << stats_.received << ", bad " << stats_.bad << ", foreign "
                      << stats_.foreign << ", answered " << stats_.answered << ", dropped " << stats_.dropped
                      << ", bytes skipped " << deframer_.skippedBytes() << '\n';
        return 0;
    }

private:
    // Returns false once --exit-after is reached.
    bool processFrames(Line& line) {
        while (auto raw = deframer_.next()) {
            log("<< " + toHex(*raw));
            Frame frame;
            if (const DecodeError e = decode(*raw, frame); e != DecodeError::None) {
                ++stats_.bad;
                log(std::string("   ignored: ") + toString(e));
                continue;
            }
            if (!server_.isForMe(frame)) {
                ++stats_.foreign;
                log("   ignored: not addressed to this meter");
                continue;
            }
            ++stats_.received;
            if (auto answer = server_.handle(frame)) send(line, *answer);
            if (options_.exitAfter != 0 && stats_.received >= options_.exitAfter) return false;
        }
        return true;
    }

    void send(Line& line, const Frame& answer) {
        const auto tx = faults_.apply(answer);
        if (!tx) {
            ++stats_.dropped;
            log(std::string("   ") + toString(answer.kind) + " answer dropped");
            return;
        }
        if (tx->delayMs) {
            log("   answer delayed by " + std::to_string(tx->delayMs) + " ms");
            sleepUnlessStopped(tx->delayMs);
        }
        log(">> " + toHex(tx->bytes));
        if (line.write(tx->bytes, stopping))
            ++stats_.answered;
        else if (!stopping())
            log("   write failed: nobody reads the line");
    }

    void log(const std::string& text) const {
        if (options_.verbose) std::cerr << text << '\n';
    }

    const Options& options_;
    Server server_;
    FaultInjector faults_;
    Deframer deframer_;
    Stats stats_;
};

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
        installSignals();
        const auto line = options.device.empty() ? Line::openPty(options.link, options.baud)
                                                 : Line::openDevice(options.device, options.baud);
        std::cout << (options.device.empty() ? "PTY " : "DEVICE ") << line->clientPath() << std::endl;
        return Simulator(options).run(*line);
    } catch (const std::exception& e) {
        std::cerr << "meter_simulator: " << e.what() << '\n';
        return 1;
    }
}
