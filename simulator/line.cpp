#include "line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace metersim {

namespace {

// Gives up on a write when the line has not taken a byte for this long:
// nobody is reading, and a meter does not wait for ever either.
constexpr auto kWriteStallLimit = std::chrono::seconds(5);

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

speed_t speedFor(unsigned baud) {
    switch (baud) {
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

void makeRaw(int fd, unsigned baud, const std::string& name) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) throwErrno(name + ": not a terminal");
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (const speed_t s = speedFor(baud); s != B0) cfsetspeed(&t, s);
    if (tcsetattr(fd, TCSANOW, &t) != 0) throwErrno(name + ": tcsetattr");
}

void setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) throwErrno("fcntl");
}

std::string readLink(const std::string& path) {
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace

std::size_t Pacer::chunkSize() const {
    return std::max<std::size_t>(1, baud_ / 10 / 100);
}

Pacer::Clock::duration Pacer::waitBefore(Clock::time_point now) const {
    if (!throttled() || now >= busyUntil_) return Clock::duration::zero();
    return busyUntil_ - now;
}

void Pacer::sent(std::size_t bytes, Clock::time_point now) {
    if (!throttled()) return;
    const auto lineTime = std::chrono::nanoseconds(bytes * 10ull * 1000000000ull / baud_);
    busyUntil_ = std::max(busyUntil_, now) + std::chrono::duration_cast<Clock::duration>(lineTime);
}

std::unique_ptr<Line> Line::openPty(const std::string& linkPath, unsigned baud) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) throwErrno("posix_openpt");
    std::unique_ptr<Line> line(new Line(master, baud));
    char name[256];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
        throwErrno("pseudo-terminal setup");
    line->clientPath_ = name;

    // Holding the slave open keeps the master readable (no EIO) while no
    // client has the port open, so the client may close and reopen it.
    line->slaveFd_ = open(name, O_RDWR | O_NOCTTY);
    if (line->slaveFd_ < 0) throwErrno(std::string("open ") + name);
    makeRaw(line->slaveFd_, baud, name);
    setNonBlocking(master);

    if (!linkPath.empty()) {
        struct stat st {};
        if (lstat(linkPath.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) throw std::runtime_error(linkPath + " exists and is not a symlink");
            if (unlink(linkPath.c_str()) != 0) throwErrno("unlink " + linkPath);
        }
        if (symlink(name, linkPath.c_str()) != 0) throwErrno("symlink " + linkPath);
        line->linkPath_ = linkPath;
    }
    return line;
}

std::unique_ptr<Line> Line::openDevice(const std::string& path, unsigned baud) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throwErrno("open " + path);
    std::unique_ptr<Line> line(new Line(fd, baud));
    line->clientPath_ = path;
    makeRaw(fd, baud, path);
    return line;
}

Line::~Line() {
    // Remove the link only if it still points at our pty, not at a newer one.
    if (!linkPath_.empty() && readLink(linkPath_) == clientPath_) unlink(linkPath_.c_str());
    if (slaveFd_ >= 0) close(slaveFd_);
    if (fd_ >= 0) close(fd_);
}

std::size_t Line::read(std::uint8_t* buffer, std::size_t size) {
    const ssize_t n = ::read(fd_, buffer, size);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool Line::write(const Bytes& bytes, const Cancelled& cancelled) {
    std::size_t done = 0;
    auto lastProgress = Pacer::Clock::now();
    while (done < bytes.size()) {
        if (cancelled()) return false;
        const auto wait = pacer_.waitBefore(Pacer::Clock::now());
        if (wait > Pacer::Clock::duration::zero()) {
            std::this_thread::sleep_for(wait);
            continue;
        }
        const std::size_t chunk =
            pacer_.throttled() ? std::min(pacer_.chunkSize(), bytes.size() - done) : bytes.size() - done;
        const ssize_t n = ::write(fd_, bytes.data() + done, chunk);
        const auto now = Pacer::Clock::now();
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            pacer_.sent(static_cast<std::size_t>(n), now);
            lastProgress = now;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;  // e.g. EIO after hangup
        if (now - lastProgress > kWriteStallLimit) return false;
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 100);
    }
    return true;
}

void Line::drain(std::chrono::milliseconds limit) {
    const auto until = Pacer::Clock::now() + limit;
    // Bytes written to a pty master reach the slave's queue asynchronously;
    // closing too early would let the hangup discard the last answer.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    while (Pacer::Clock::now() < until) {
        // Bytes still waiting: in the pty's input queue for the client, or in
        // the device's output queue.
        int pending = 0;
        const int rc = slaveFd_ >= 0 ? ioctl(slaveFd_, FIONREAD, &pending) : ioctl(fd_, TIOCOUTQ, &pending);
        if (rc != 0 || pending == 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace metersim
