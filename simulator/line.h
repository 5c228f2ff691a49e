// The serial line the meter sits on, as the event loop sees it: a
// pseudo-terminal created by the simulator, an existing tty, or an accepted
// TCP connection. All I/O is non-blocking; pacing is the caller's business
// (pacing.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace metersim {

enum class IoStatus {
    Ok,      // `bytes` bytes moved (at least one)
    Again,   // nothing now; wait for poll(2)
    HungUp,  // a device whose other end is gone for now; try again later
    Gone,    // the connection is closed or reset for good
};

struct IoResult {
    IoStatus status;
    std::size_t bytes = 0;
};

class Line {
public:
    enum class Kind { Pty, Device, Socket };

    // A new pseudo-terminal; when linkPath is not empty, a symlink to its
    // slave side is created there (replacing a stale symlink, never a file).
    static std::unique_ptr<Line> openPty(const std::string& linkPath);
    // An existing tty, e.g. one end of a socat pty pair, at `baud` (0: as it is).
    static std::unique_ptr<Line> openDevice(const std::string& path, unsigned baud);
    // An accepted TCP connection; `peer` names it in the log.
    static std::unique_ptr<Line> adoptSocket(int fd, const std::string& peer);

    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    Kind kind() const { return kind_; }
    int fd() const { return fd_; }
    // The path the client opens (pty slave or device), or the TCP peer.
    const std::string& clientPath() const { return clientPath_; }

    IoResult read(std::uint8_t* buffer, std::size_t size);
    IoResult write(const std::uint8_t* data, std::size_t size);
    // Bytes written but not yet taken by the client: in the pty's input
    // queue, the device's output queue or the socket's send queue.
    std::size_t unread() const;
    // Drops what is queued in the pty or device both ways, so that a
    // client that opens the line later gets none of it.
    void discardQueued();
    // A device's termios rate and character format: 7E1 or 8N1. Lines
    // without a UART (pty, socket) only change their pacing, so nothing here.
    // False, with errno set, when the device refuses; a refused 7E1 leaves
    // the device at 8N1 at the new rate.
    bool setCharacterFormat(unsigned baud, bool sevenEven);

private:
    Line(Kind kind, int fd) : kind_(kind), fd_(fd) {}

    Kind kind_;
    int fd_ = -1;
    int slaveFd_ = -1;  // pty only: held open so the pty survives the client closing it
    std::string clientPath_;
    std::string linkPath_;
};

}  // namespace metersim
