// Command line of the meter simulator.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "faults.h"
#include "server.h"
#include "sign_on.h"

namespace metersim {

struct Options {
    std::string device;  // empty: create ptys (or listen, with tcp)
    std::string link;
    unsigned links = 1;                // ptys served; with --tcp, sessions expected at once
    std::optional<std::uint16_t> tcp;  // listen on 127.0.0.1 at this port instead
    unsigned baud = 0;
    unsigned chunkMs = 0;              // line time handed over at once (0: chunkFor(links))
    bool echo = false;                 // the line hands back every byte received
    std::optional<SignOnConfig> modeE; // IEC 62056-21 mode E opening first
    ServerConfig server;
    AnswerMode answer;
    FaultConfig faults;
    unsigned inactivityS = 0;          // NDM after this long without a frame (0: never)
    std::vector<std::uint32_t> bus;    // lower addresses of the meters sharing a line
    unsigned long exitAfter = 0;
    bool countSessions = false;     // print each line's session count on exit
    unsigned gatewayLimit = 1;      // TCP sessions a gateway carries at once
    bool verbose = false;
    bool help = false;
};

// The default chunk: 10 ms of line time, as a UART's FIFO or a USB
// adapter's latency timer hands bytes over at 9600 baud; with more than 250
// links, links/25 ms, so that the simulator makes at most about 25,000
// writes a second however many links stream at once (each pty write costs
// the kernel a deferred work item).
unsigned chunkFor(unsigned links);

const char* usage();

// Parses the arguments (without the program name). Throws
// std::invalid_argument with a message for the user on a bad command line.
Options parseOptions(const std::vector<std::string>& args);

}  // namespace metersim
