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
    unsigned links = 1;                // ptys served
    std::optional<std::uint16_t> tcp;  // listen on 127.0.0.1 at this port instead
    unsigned baud = 0;
    unsigned chunkMs = 10;             // line time handed over at once
    bool echo = false;                 // the line hands back every byte received
    std::optional<SignOnConfig> modeE; // IEC 62056-21 mode E opening first
    ServerConfig server;
    AnswerMode answer;
    FaultConfig faults;
    unsigned long exitAfter = 0;
    bool verbose = false;
    bool help = false;
};

const char* usage();

// Parses the arguments (without the program name). Throws
// std::invalid_argument with a message for the user on a bad command line.
Options parseOptions(const std::vector<std::string>& args);

}  // namespace metersim
