#include "line.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace metersim {

namespace {

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

// Raw mode at `baud` (0: as it is), 8N1 or 7E1. Returns false with errno set
// when the terminal refuses, as a pty does 7E1 on some kernels.
bool configure(int fd, unsigned baud, bool sevenEven) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    if (sevenEven) {
        t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARODD)) | CS7 | PARENB;
    }
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (const speed_t s = speedFor(baud); s != B0) cfsetspeed(&t, s);
    // Whatever is still in the output queue goes out in the old format.
    return tcsetattr(fd, TCSADRAIN, &t) == 0;
}

void makeRaw(int fd, unsigned baud, const std::string& name) {
    if (!configure(fd, baud, false)) throwErrno(name + ": cannot set raw mode");
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

std::unique_ptr<Line> Line::openPty(const std::string& linkPath) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) throwErrno("posix_openpt");
    std::unique_ptr<Line> line(new Line(Kind::Pty, master));
    char name[256];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
        throwErrno("pseudo-terminal setup");
    line->clientPath_ = name;

    // Holding the slave open keeps the master readable (no EIO) while no
    // client has the port open, so the client may close and reopen it.
    line->slaveFd_ = open(name, O_RDWR | O_NOCTTY);
    if (line->slaveFd_ < 0) throwErrno(std::string("open ") + name);
    makeRaw(line->slaveFd_, 0, name);
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
    std::unique_ptr<Line> line(new Line(Kind::Device, fd));
    line->clientPath_ = path;
    makeRaw(fd, baud, path);
    return line;
}

std::unique_ptr<Line> Line::adoptSocket(int fd, const std::string& peer) {
    std::unique_ptr<Line> line(new Line(Kind::Socket, fd));
    line->clientPath_ = peer;
    setNonBlocking(fd);
    // Paced chunks go out as they are written, not gathered by Nagle.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return line;
}

Line::~Line() {
    // Remove the link only if it still points at our pty, not at a newer one.
    if (!linkPath_.empty() && readLink(linkPath_) == clientPath_) unlink(linkPath_.c_str());
    if (kind_ == Kind::Socket) {
        // Closing with unread input would reset the connection, and a reset
        // may discard what the client has not read yet: FIN first.
        shutdown(fd_, SHUT_WR);
        char discard[4096];
        while (::read(fd_, discard, sizeof discard) > 0) {
        }
    }
    if (slaveFd_ >= 0) close(slaveFd_);
    if (fd_ >= 0) close(fd_);
}

namespace {

IoResult result(ssize_t n, Line::Kind kind) {
    if (n > 0) return {IoStatus::Ok, static_cast<std::size_t>(n)};
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return {IoStatus::Again};
    // End of file or an error: a socket is finished, a tty may come back.
    return {kind == Line::Kind::Socket ? IoStatus::Gone : IoStatus::HungUp};
}

}  // namespace

IoResult Line::read(std::uint8_t* buffer, std::size_t size) {
    return result(::read(fd_, buffer, size), kind_);
}

IoResult Line::write(const std::uint8_t* data, std::size_t size) {
    if (kind_ == Kind::Socket) return result(::send(fd_, data, size, MSG_NOSIGNAL), kind_);
    return result(::write(fd_, data, size), kind_);
}

std::size_t Line::unread() const {
    int pending = 0;
    const int rc = slaveFd_ >= 0 ? ioctl(slaveFd_, FIONREAD, &pending) : ioctl(fd_, TIOCOUTQ, &pending);
    return rc == 0 && pending > 0 ? static_cast<std::size_t>(pending) : 0;
}

void Line::discardQueued() {
    if (slaveFd_ >= 0) tcflush(slaveFd_, TCIOFLUSH);
    if (kind_ == Kind::Device) tcflush(fd_, TCIOFLUSH);
}

bool Line::setCharacterFormat(unsigned baud, bool sevenEven) {
    if (kind_ != Kind::Device || configure(fd_, baud, sevenEven)) return true;
    const int error = errno;
    if (sevenEven) configure(fd_, baud, false);  // the rate at least
    errno = error;
    return false;
}

}  // namespace metersim
