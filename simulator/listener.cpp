#include "listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

namespace metersim {

namespace {

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

Listener::Listener(std::uint16_t port, unsigned sessions) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throwErrno("socket");
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const int backlog = static_cast<int>(std::clamp(sessions, 16u, static_cast<unsigned>(SOMAXCONN)));
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, backlog) != 0) {
        const int error = errno;
        close(fd_);
        errno = error;
        throwErrno("listen on 127.0.0.1:" + std::to_string(port));
    }
    socklen_t size = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
}

Listener::~Listener() {
    if (fd_ >= 0) close(fd_);
}

std::unique_ptr<Line> Listener::accept() {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    const int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    outOfDescriptors_ = fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM);
    if (fd < 0) return nullptr;  // EAGAIN, ECONNABORTED: try again on the next event
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return Line::adoptSocket(fd, std::string(text) + ":" + std::to_string(ntohs(peer.sin_port)));
}

}  // namespace metersim
