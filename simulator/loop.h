// The simulator's one event loop: poll(2) over every line (and the TCP
// listener), with each endpoint's timers as deadlines. Nothing in it sleeps
// or blocks, so one thread serves any number of meters.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "endpoint.h"
#include "line.h"
#include "listener.h"

namespace metersim {

class EventLoop {
public:
    // Installs the SIGTERM/SIGINT handlers that stop run().
    explicit EventLoop(const Options& options);

    // A line served from the start: a pty or a device. `name` prefixes its
    // log lines.
    void add(std::unique_ptr<Line> line, std::string name);
    // Accepts TCP connections, each served as a session of its own.
    void listen(std::unique_ptr<Listener> listener);

    // Runs until a signal, or until --exit-after is reached: on every line,
    // or, with TCP, in one session.
    void run();

private:
    void accept();
    bool finished() const;
    // The poll(2) time-out: up to the earliest deadline, or -1 (none).
    std::chrono::nanoseconds timeout(TimePoint now) const;

    const Options& options_;
    std::vector<std::unique_ptr<Endpoint>> endpoints_;
    std::unique_ptr<Listener> listener_;
    unsigned long sessions_ = 0;
    bool sessionDone_ = false;
};

}  // namespace metersim
