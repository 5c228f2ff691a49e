// The serial line the meter sits on: a pseudo-terminal created by the
// simulator, or an existing tty, in raw mode, with output paced to a baud rate.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "hdlc_codec.h"

namespace metersim {

// Keeps output from running ahead of the line rate (10 bits per byte on an
// 8N1 line). Output goes out in chunks of about 10 ms of line time; a chunk
// may start only once the previous one would have been transmitted. Idle time
// earns no credit, so a burst after a pause is paced as well.
class Pacer {
public:
    using Clock = std::chrono::steady_clock;

    explicit Pacer(unsigned baud) : baud_(baud) {}

    bool throttled() const { return baud_ != 0; }
    std::size_t chunkSize() const;
    // How long to wait at `now` before the next chunk may be written.
    Clock::duration waitBefore(Clock::time_point now) const;
    void sent(std::size_t bytes, Clock::time_point now);

private:
    unsigned baud_;
    Clock::time_point busyUntil_{};
};

class Line {
public:
    using Cancelled = std::function<bool()>;

    // A new pseudo-terminal; when linkPath is not empty, a symlink to its
    // slave side is created there (replacing a stale symlink, never a file).
    static std::unique_ptr<Line> openPty(const std::string& linkPath, unsigned baud);
    // An existing tty, e.g. one end of a socat pty pair.
    static std::unique_ptr<Line> openDevice(const std::string& path, unsigned baud);

    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    int fd() const { return fd_; }
    // The path the client opens: the pty slave or the device.
    const std::string& clientPath() const { return clientPath_; }

    // Reads what has arrived; 0 when nothing could be read (no data, hangup).
    std::size_t read(std::uint8_t* buffer, std::size_t size);
    // Writes all bytes at the line rate. Returns false when cancelled or when
    // nobody has read from the line for a while (the bytes are then lost).
    bool write(const Bytes& bytes, const Cancelled& cancelled);
    // Waits, at most `limit`, until the client has read everything written.
    void drain(std::chrono::milliseconds limit);

private:
    Line(int fd, unsigned baud) : fd_(fd), pacer_(baud) {}

    int fd_ = -1;
    int slaveFd_ = -1;  // pty only: held open so the pty survives the client closing it
    std::string clientPath_;
    std::string linkPath_;
    Pacer pacer_;
};

}  // namespace metersim
