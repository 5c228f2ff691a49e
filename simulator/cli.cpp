#include "cli.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace metersim {

const char* usage() {
    return R"(usage: meter_simulator [options]

Simulates the HDLC link layer of a DLMS/COSEM meter on a serial line. It
creates a pseudo-terminal and prints "PTY <path>" on stdout once it is ready
(one line per link, in order, with --links N), "DEVICE <path>" with --device,
or "TCP 127.0.0.1:<port>" with --tcp, and runs until SIGTERM or SIGINT.

Lines:
  --link PATH               symlink PATH to the pty slave (removed on exit);
                            with --links N: PATH.0 .. PATH.<N-1>
  --links N                 serve N ptys from one process, each an
                            independent meter with its own link state,
                            pacing and fault counters (1)
  --device PATH             serve an existing tty instead, e.g. one end of a
                            socat pty pair; --baud and --mode-e also set its
                            termios speed and format
  --tcp PORT                listen on 127.0.0.1:PORT instead (0: a free
                            port); every connection is a session with a
                            meter of its own, ended by a close or a reset;
                            with --links N, sized for N sessions at once
                            (descriptors, backlog, --chunk-ms)
Line behaviour:
  --baud N                  line rate in both directions, 10 bits a byte
                            (8N1 and 7E1 alike); 0: unpaced (0)
  --chunk-ms N              paced output reaches the client in chunks of N
                            ms of line time (10; with more than 250 links,
                            links/25, so that the simulator makes at most
                            ~25,000 writes a second)
  --echo                    the line hands back every byte the client sends,
                            as it arrives and ahead of the answer, as an
                            optical probe or a half-duplex RS-485 adapter
                            does (not to be confused with --answer echo)
IEC 62056-21 mode E opening (optical port):
  --mode-e                  wait at 300 baud for the sign-on
                            "/?" [device address] "!" CR LF, answer with the
                            identification, expect the acknowledgement
                            ACK "2" Z "2" CR LF, then serve HDLC at the rate
                            the baud character Z names ('0'..'6': 300, 600,
                            1200, 2400, 4800, 9600, 19200 baud). Received
                            bytes are taken 7 bits wide until then (a pty
                            carries no parity). A wrong or garbled sign-on is
                            ignored; a wrong ACK, and later a DISC, return to
                            waiting for a sign-on at 300 baud. An ACK that
                            starts sooner than 200 ms after the
                            identification (20 ms when its third letter is
                            lower case) is missed, as by a meter still
                            turning its line around. Not with --baud: the
                            opening sets the rates.
  --identification LINE     identification sent, CR LF added; its fifth
                            character is Z (/TVK5\2TARVIK: 9600 baud); one
                            without the escape \2 plays a meter that offers
                            no HDLC
  --sign-on-address ADDR    answer only sign-ons naming ADDR or no address
                            (leading zeros do not count: 0042 names 42)
  --reaction-ms MIN[-MAX]   the identification starts MIN to MAX ms after
                            the sign-on, anew for each sign-on (200-1500)
Addresses:
  --server-upper N          upper server address (1)
  --server-lower N          lower server address (0)
  --bus LIST                several meters on each line, one per lower server
                            address in the comma-separated LIST (e.g.
                            17,18,19; needs --server-address-size 2 or 4),
                            as on an RS-485 bus: each has its own link state
                            and fault counters and answers only frames
                            addressed to it
  --server-address-size N   server address size in bytes: 1, 2 or 4 (1)
  --client N                client address answered to (16)
Link parameters stated in the UA:
  --max-info-tx N           longest information field sent (128)
  --max-info-rx N           longest information field accepted (128)
  --window-tx N             transmit window (1)
  --window-rx N             receive window (1)
  --no-ua-info              send the UA without information field
Application:
  --answer echo|size:N      answer each request with its own data (echo), or
                            with N bytes i % 251 (default: echo)
  --rnr N                   after each SNRM, answer the first N polls that
                            follow an accepted I-frame with RNR (0)
  --inactivity-s N          drop the link after N s without a frame addressed
                            to the meter, and answer DM until the next SNRM,
                            as a meter's inactivity time-out does (0: never)
Faults, each on every Nth answer of a meter (each link, TCP session and
--bus address counts its own; 0: off):
  --drop-every N            send nothing
  --corrupt-every N         flip a byte so that the FCS fails
  --late-every N            delay the answer by --late-ms M milliseconds
  --late-ms M
  --wrong-seq-every N       wrong N(S) in I-frames, wrong N(R) in RR/RNR
  --dm-every N              answer DM instead and drop the link
  --garbage-every N         write non-flag bytes before the frame
Other:
  --exit-after N            exit after handling N frames addressed to it
                            (on every link; with --tcp, in one session)
  --count-sessions          on exit, print "SESSIONS <line> <n> OVERLAPPING
                            <m>" on stdout for every line: the sessions
                            (SNRM to DISC) each pty carried, and the frames
                            of a second client cutting into a session (an
                            SNRM while the link is up, I, RR or RNR while it
                            is down, an I-frame out of sequence); with --tcp
                            one line "SESSIONS tcp <connections> OVERLAPPING
                            <m>", m counting connections accepted while
                            --gateway-limit others were open. Meaningful on
                            a line without faults.
  --gateway-limit N         sessions the TCP gateway may carry at once (1)
  --verbose                 log frames ("<<" received, ">>" sent) and
                            decisions to stderr; with --links N each line
                            starts with "[i] " (link i), with --tcp with
                            "[tcp n] " (session n)
  --help                    show this text

Pacing: a frame the client sends is handled once its last byte would have
arrived, and the answer starts no earlier, as on a half-duplex line. No byte
reaches the client before its last bit would have, and a frame is complete
for the client exactly at the end of its line time, whatever --chunk-ms is.
A partial frame is given up after 500 ms without a byte.

Limits: reading stops while 64 KiB of output wait; a client that reads
nothing for 5 s is cut off (the pty's queues are emptied, a TCP session
ends); a request gathered from segments beyond 64 KiB is dropped with FRMR;
out of descriptors, new TCP connections wait in the backlog. Each of these
is logged to stderr.
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
constexpr unsigned long kMaxLinks = 65536;

std::vector<std::uint32_t> addressList(const std::string& option, const std::string& text) {
    std::vector<std::uint32_t> result;
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = text.find(',', from);
        const std::string item = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        const auto value = static_cast<std::uint32_t>(number(option, item, 0, 0x3FFF));
        if (std::find(result.begin(), result.end(), value) != result.end())
            throw std::invalid_argument(option + ": address " + item + " given twice");
        result.push_back(value);
        if (comma == std::string::npos) return result;
        from = comma + 1;
    }
}

}  // namespace

unsigned chunkFor(unsigned links) {
    constexpr unsigned kMinChunkMs = 10;
    constexpr unsigned kLinksPerMs = 25;
    return std::max(kMinChunkMs, links / kLinksPerMs);
}

Options parseOptions(const std::vector<std::string>& args) {
    Options o;
    unsigned long maxInfoTx = o.server.params.maxInfoTx;
    bool baudGiven = false;
    SignOnConfig signOn;
    bool signOnGiven = false;

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
        else if (opt == "--links") o.links = static_cast<unsigned>(number(opt, value(), 1, kMaxLinks));
        else if (opt == "--tcp") o.tcp = static_cast<std::uint16_t>(number(opt, value(), 0, 65535));
        else if (opt == "--echo") o.echo = true;
        else if (opt == "--chunk-ms") o.chunkMs = static_cast<unsigned>(number(opt, value(), 1, 1000));
        else if (opt == "--mode-e") o.modeE = SignOnConfig{};
        else if (opt == "--identification") signOn.identification = value(), signOnGiven = true;
        else if (opt == "--sign-on-address") signOn.address = value(), signOnGiven = true;
        else if (opt == "--reaction-ms") {
            const std::string text = value();
            const std::size_t dash = text.find('-');
            signOn.reactionMinMs = static_cast<unsigned>(number(opt, text.substr(0, dash), 0, 60000));
            signOn.reactionMaxMs = dash == std::string::npos
                                       ? signOn.reactionMinMs
                                       : static_cast<unsigned>(number(opt, text.substr(dash + 1), 0, 60000));
            if (signOn.reactionMaxMs < signOn.reactionMinMs)
                throw std::invalid_argument("--reaction-ms: " + text + " ends before it starts");
            signOnGiven = true;
        }
        else if (opt == "--baud") {
            o.baud = static_cast<unsigned>(number(opt, value(), 0, 4000000));
            baudGiven = true;
        }
        else if (opt == "--server-upper") o.server.address.upper = static_cast<std::uint32_t>(count(0x3FFF));
        else if (opt == "--server-lower") o.server.address.lower = static_cast<std::uint32_t>(count(0x3FFF));
        else if (opt == "--server-address-size") o.server.address.size = static_cast<unsigned>(count(4));
        else if (opt == "--client") o.server.client = static_cast<std::uint32_t>(count(0x7F));
        else if (opt == "--max-info-tx") maxInfoTx = number(opt, value(), 1, kU32);
        else if (opt == "--max-info-rx") p.maxInfoRx = static_cast<std::uint32_t>(number(opt, value(), 1, kU32));
        else if (opt == "--window-tx") p.windowTx = static_cast<std::uint32_t>(number(opt, value(), 1, kU32));
        else if (opt == "--window-rx") p.windowRx = static_cast<std::uint32_t>(number(opt, value(), 1, kU32));
        else if (opt == "--rnr") o.server.rnrCount = static_cast<unsigned>(count());
        else if (opt == "--inactivity-s") o.inactivityS = static_cast<unsigned>(count(86400));
        else if (opt == "--bus") o.bus = addressList(opt, value());
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
        else if (opt == "--count-sessions") o.countSessions = true;
        else if (opt == "--gateway-limit") o.gatewayLimit = static_cast<unsigned>(number(opt, value(), 1, kUnsigned));
        else if (opt == "--exit-after") o.exitAfter = count(std::numeric_limits<unsigned long>::max());
        else throw std::invalid_argument("unknown option " + opt);
    }

    const int lines = (o.tcp ? 1 : 0) + (o.device.empty() ? 0 : 1) + (o.links > 1 && !o.tcp ? 1 : 0);
    if (lines > 1) throw std::invalid_argument("--tcp, --device and --links N (ptys) exclude each other");
    if (!o.link.empty() && (o.tcp || !o.device.empty()))
        throw std::invalid_argument("--link names a pty: not with --tcp or --device");
    if (o.modeE && baudGiven) throw std::invalid_argument("--baud: with --mode-e the opening sets the rates");
    if (signOnGiven && !o.modeE)
        throw std::invalid_argument("--identification, --sign-on-address and --reaction-ms need --mode-e");
    if (o.modeE) o.modeE = signOn;

    const Address& a = o.server.address;
    if (a.size != 1 && a.size != 2 && a.size != 4)
        throw std::invalid_argument("--server-address-size must be 1, 2 or 4");
    if (!Address{a.upper, a.size == 1 ? 0 : a.lower, a.size}.valid())
        throw std::invalid_argument("server address does not fit into " + std::to_string(a.size) + " byte(s)");
    if (!o.bus.empty() && a.size == 1)
        throw std::invalid_argument("--bus: lower addresses need --server-address-size 2 or 4");
    for (const std::uint32_t lower : o.bus)
        if (!Address{a.upper, lower, a.size}.valid())
            throw std::invalid_argument("--bus: lower address " + std::to_string(lower) + " does not fit into " +
                                        std::to_string(a.size) + " byte(s)");
    // Answers must fit into frames sent to a 1-byte client address.
    const std::size_t limit = maxInfoLength(1, a.size);
    if (maxInfoTx > limit)
        throw std::invalid_argument("--max-info-tx: at most " + std::to_string(limit) + " with this address size");
    o.server.params.maxInfoTx = static_cast<std::uint32_t>(maxInfoTx);
    if (o.chunkMs == 0) o.chunkMs = chunkFor(o.links);
    return o;
}

}  // namespace metersim
