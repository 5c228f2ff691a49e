// The simulator's one event loop: epoll(7) over every line (and the TCP
// listener), with each endpoint's timers as deadlines. Nothing in it blocks
// on a line, so one thread serves any number of meters.
//
// epoll rather than poll(2): a pty's poll callback is expensive (it takes
// the line discipline lock and flushes the pty's work queue), and poll(2)
// calls it for every line on every wake-up, where epoll calls it only for
// the lines that had something happen.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "endpoint.h"
#include "line.h"
#include "listener.h"
#include "session_count.h"

namespace metersim {

class EventLoop {
public:
    // Installs the SIGTERM/SIGINT handlers that stop run().
    explicit EventLoop(const Options& options);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // A line served from the start: a pty or a device. `name` prefixes its
    // log lines.
    void add(std::unique_ptr<Line> line, std::string name);
    // Accepts TCP connections, each served as a session of its own.
    void listen(std::unique_ptr<Listener> listener);

    // Runs until a signal, or until --exit-after is reached: on every line,
    // or, with TCP, in one session.
    void run();
    // One "SESSIONS ..." line per line (--count-sessions).
    void printSessions() const;

private:
    struct Slot {
        std::unique_ptr<Endpoint> endpoint;
        std::uint32_t registered = 0;  // events epoll watches for it
        std::optional<TimePoint> deadline;
        bool touched = true;  // had events since its last service
    };

    void watch(int fd, std::uint32_t events, void* tag);
    void service(Slot& slot, TimePoint now);
    void reap();
    void accept(TimePoint now);
    void watchListener(std::uint32_t events);
    bool finished() const;
    // Until the earliest deadline, or -1 when there is none.
    std::chrono::nanoseconds timeout(TimePoint now) const;

    const Options& options_;
    int epoll_ = -1;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::unique_ptr<Listener> listener_;
    std::optional<TimePoint> listenerResumes_;  // paused while out of descriptors
    bool reportedOutOfDescriptors_ = false;
    unsigned long sessions_ = 0;
    GatewayCounter gateway_;
    bool sessionDone_ = false;
};

}  // namespace metersim
