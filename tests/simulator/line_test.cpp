// The real simulator binary driven over its pty.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "hdlc_codec.h"

using namespace metersim;
using namespace std::chrono_literals;

namespace {

int openPort(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// Writes a frame and reads back one answer frame, flag to flag.
Bytes roundTrip(int fd, const Bytes& frame) {
    if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return {};
    Deframer d;
    pollfd p{fd, POLLIN, 0};
    std::uint8_t buf[256];
    while (poll(&p, 1, 3000) == 1) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        d.feed(buf, static_cast<std::size_t>(n));
        if (auto raw = d.next()) return *raw;
    }
    return {};
}

FrameKind kindOf(const Bytes& raw) {
    Frame f;
    EXPECT_EQ(decode(raw, f), DecodeError::None) << toHex(raw);
    return f.kind;
}

}  // namespace

TEST(EndToEnd, AnswersOverPacedPtyAcrossReopen) {
    const std::string link = "/tmp/metersim-test-" + std::to_string(getpid());
    // It stops by itself after three frames, or is stopped by timeout.
    FILE* sim = popen(("timeout 10 " METERSIM_BINARY " --baud 2400 --exit-after 3 --link " + link).c_str(), "r");
    ASSERT_TRUE(sim);
    char line[256] = {};
    ASSERT_TRUE(fgets(line, sizeof line, sim));
    ASSERT_EQ(std::string(line).rfind("PTY /dev/pts/", 0), 0u) << line;

    int fd = openPort(link);
    ASSERT_GE(fd, 0);
    const Bytes snrm = {0x7E, 0xA0, 0x07, 0x03, 0x21, 0x93, 0x0F, 0x01, 0x7E};
    const auto start = std::chrono::steady_clock::now();
    const Bytes ua = roundTrip(fd, snrm);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(kindOf(ua), FrameKind::UA);
    // 26 bytes of 10 bits at 2400 baud take 108 ms; the last chunk may
    // leave up to 10 ms early.
    ASSERT_EQ(ua.size(), 26u);
    EXPECT_GE(elapsed, 95ms);
    EXPECT_LT(elapsed, 1s);
    close(fd);

    // The client closes and reopens the port; the link is still up.
    fd = openPort(std::string(line + 4, std::strlen(line) - 5));
    ASSERT_GE(fd, 0);
    Bytes disc = snrm;
    disc[5] = 0x53;
    const std::uint16_t fcs = crc16(disc.data() + 1, 5);
    disc[6] = fcs & 0xFF;
    disc[7] = fcs >> 8;
    EXPECT_EQ(kindOf(roundTrip(fd, disc)), FrameKind::UA);
    EXPECT_EQ(kindOf(roundTrip(fd, disc)), FrameKind::DM);
    close(fd);

    const int status = pclose(sim);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind";
}
