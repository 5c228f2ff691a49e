// A TCP listening socket on 127.0.0.1, the simulator's stand-in for a
// serial-to-TCP gateway in front of the meter.
#pragma once

#include <cstdint>
#include <memory>

#include "line.h"

namespace metersim {

class Listener {
public:
    // Port 0 lets the kernel pick a free port. `sessions`: how many clients
    // may connect at once, which sizes the backlog of unaccepted ones.
    explicit Listener(std::uint16_t port, unsigned sessions = 1);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int fd() const { return fd_; }
    std::uint16_t port() const { return port_; }
    // The next waiting connection, or nullptr when there is none (or it was
    // reset before it could be taken, or no descriptor was left for it).
    std::unique_ptr<Line> accept();
    // The last accept() found no descriptor left (EMFILE, ENFILE): the
    // connection waits in the backlog, and the listener stays readable.
    bool outOfDescriptors() const { return outOfDescriptors_; }

private:
    int fd_ = -1;
    bool outOfDescriptors_ = false;
    std::uint16_t port_ = 0;
};

}  // namespace metersim
