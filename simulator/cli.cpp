#include "cli.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace metersim {

const char* usage() {
    return R"(usage: meter_simulator [options]

Simulates the HDLC link layer of a DLMS/COSEM meter on a serial line.
Without --device it creates a pseudo-terminal and prints "PTY <path>"
(with --device: "DEVICE <path>") on stdout once it is ready.

Line:
  --link PATH               symlink PATH to the pty slave (removed on exit)
  --device PATH             serve an existing tty instead of a new pty
  --baud N                  pace output to N baud, 10 bits a byte (0: unpaced)
Addresses:
  --server-upper N          upper server address (1)
  --server-lower N          lower server address (0)
  --server-address-size N   server address size in bytes: 1, 2 or 4 (1)
  --client N                client address answered to (16)
Link parameters stated in the UA:
  --max-info-tx N           longest information field sent (128)
  --max-info-rx N           longest information field accepted (128)
  --window-tx N             transmit window (1)
  --window-rx N             receive window (1)
  --no-ua-info              send the UA without information field
Behaviour:
  --answer echo|size:N      echo the request, or answer N bytes i % 251 (echo)
  --rnr N                   after each SNRM, answer the first N polls that
                            follow an accepted I-frame with RNR (0)
Faults, each on every Nth answer (0: off):
  --drop-every N            send nothing
  --corrupt-every N         flip a byte so that the FCS fails
  --late-every N            delay the answer by --late-ms M milliseconds
  --late-ms M
  --wrong-seq-every N       wrong N(S) in I-frames, wrong N(R) in RR/RNR
  --dm-every N              answer DM instead
  --garbage-every N         write non-flag bytes before the frame
Other:
  --exit-after N            exit after handling N frames addressed to it
  --verbose                 log frames and decisions to stderr
  --help                    show this text
)";
}

namespace {

unsigned long number(const std::string& option, const std::string& text, unsigned long min, unsigned long max) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        throw std::invalid_argument(option + ": not a number: '" + text + "'");
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || v < min || v > max)
        throw std::invalid_argument(option + ": " + text + " out of range " + std::to_string(min) + ".." +
                                    std::to_string(max));
    return static_cast<unsigned long>(v);
}

constexpr unsigned long kU32 = std::numeric_limits<std::uint32_t>::max();
constexpr unsigned long kUnsigned = std::numeric_limits<unsigned>::max();

}  // namespace

Options parseOptions(const std::vector<std::string>& args) {
    Options o;
    unsigned long maxInfoTx = o.server.params.maxInfoTx;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw std::invalid_argument(opt + " needs a value");
            return args[++i];
        };
        auto count = [&](unsigned long max = kUnsigned) { return number(opt, value(), 0, max); };
        auto& p = o.server.params;

        if (opt == "--help" || opt == "-h") o.help = true;
        else if (opt == "--verbose" || opt == "-v") o.verbose = true;
        else if (opt == "--no-ua-info") o.server.uaInfo = false;
        else if (opt == "--link") o.link = value();
        else if (opt == "--device") o.device = value();
        else if (opt == "--baud") o.baud = static_cast<unsigned>(number(opt, value(), 0, 4000000));
        else if (opt == "--server-upper") o.server.address.upper = static_cast<std::uint32_t>(count(0x3FFF));
        else if (opt == "--server-lower") o.server.address.lower = static_cast<std::uint32_t>(count(0x3FFF));
        else if (opt == "--server-address-size") o.server.address.size = static_cast<unsigned>(count(4));
        else if (opt == "--client") o.server.client = static_cast<std::uint32_t>(count(0x7F));
        else if (opt == "--max-info-tx") maxInfoTx = number(opt, value(), 1, kU32);
        else if (opt == "--max-info-rx") p.maxInfoRx = static_cast<std::uint32_t>(number(opt, value(), 1, kU32));
        else if (opt == "--window-tx") p.windowTx = static_cast<std::uint32_t>(number(opt, value(), 1, kU32));
        else if (opt == "--window-rx") p.windowRx = static_cast<std::uint32_t>(number(opt, value(), 1, kU32));
        else if (opt == "--rnr") o.server.rnrCount = static_cast<unsigned>(count());
        else if (opt == "--answer") {
            const auto mode = AnswerMode::parse(value());
            if (!mode) throw std::invalid_argument("--answer: expected echo or size:N");
            o.answer = *mode;
        }
        else if (opt == "--drop-every") o.faults.dropEvery = static_cast<unsigned>(count());
        else if (opt == "--corrupt-every") o.faults.corruptEvery = static_cast<unsigned>(count());
        else if (opt == "--late-every") o.faults.lateEvery = static_cast<unsigned>(count());
        else if (opt == "--late-ms") o.faults.lateMs = static_cast<unsigned>(count());
        else if (opt == "--wrong-seq-every") o.faults.wrongSeqEvery = static_cast<unsigned>(count());
        else if (opt == "--dm-every") o.faults.dmEvery = static_cast<unsigned>(count());
        else if (opt == "--garbage-every") o.faults.garbageEvery = static_cast<unsigned>(count());
        else if (opt == "--exit-after") o.exitAfter = count(std::numeric_limits<unsigned long>::max());
        else throw std::invalid_argument("unknown option " + opt);
    }

    const Address& a = o.server.address;
    if (a.size != 1 && a.size != 2 && a.size != 4)
        throw std::invalid_argument("--server-address-size must be 1, 2 or 4");
    if (!Address{a.upper, a.size == 1 ? 0 : a.lower, a.size}.valid())
        throw std::invalid_argument("server address does not fit into " + std::to_string(a.size) + " byte(s)");
    // Answers must fit into frames sent to a 1-byte client address.
    const std::size_t limit = maxInfoLength(1, a.size);
    if (maxInfoTx > limit)
        throw std::invalid_argument("--max-info-tx: at most " + std::to_string(limit) + " with this address size");
    o.server.params.maxInfoTx = static_cast<std::uint32_t>(maxInfoTx);
    return o;
}

}  // namespace metersim
