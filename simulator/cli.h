// Command line of the meter simulator.
#pragma once

#include <string>
#include <vector>

#include "faults.h"
#include "server.h"

namespace metersim {

struct Options {
    std::string device;  // empty: create a pty
    std::string link;
    unsigned baud = 0;
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
