// Server (secondary station) side of the HDLC link as a DLMS meter runs it:
// NDM/NRM modes, SNRM/UA with parameter statement, DISC, numbered I-frames
// with request reassembly and answer segmentation, RR/RNR flow control.
//
// The class is pure: it takes decoded frames and returns the response to send,
// without any I/O, so that every exchange can be checked in unit tests.
//
// Behaviour choices (a meter has some freedom here):
//  * An I-frame whose N(S) is not the expected one is discarded and answered
//    with RR carrying the current N(R), so the client can see where the meter
//    stands; no FRMR.
//  * An I-frame whose information field is longer than max-info-rx, or a
//    command the meter does not know, puts the link into the frame reject
//    condition: every poll is answered with the same FRMR until SNRM or DISC.
//  * A request without the LLC header E6 E6 00 is acknowledged on the link
//    (RR) and then dropped by the application; nothing else is sent.
//  * Answers go out one I-frame per poll (stop and wait), whatever window is
//    stated. An RR whose N(R) acknowledges the outstanding segment fetches the
//    next one; an RR whose N(R) equals the outstanding N(S) gets that segment
//    again; any other N(R) (e.g. a stale poll) is answered with RR.
//  * A new request abandons whatever is left of the previous answer.
//  * An SNRM carrying proposed parameters is answered with the meter's own
//    parameters; the proposal is not negotiated.
//  * A segmented request longer than kMaxRequest bytes in all puts the link
//    into the frame reject condition (reason Y), as a meter's buffer limit.
//  * rnrCount: after each link establishment, the first rnrCount polls that
//    follow an accepted I-frame are answered with RNR. The I-frame itself is
//    accepted (the client has already advanced its N(S)); I-frames that arrive
//    while busy are discarded.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "application.h"
#include "hdlc_codec.h"

namespace metersim {

// The longest request gathered from segments.
constexpr std::size_t kMaxRequest = 65536;

struct LinkParameters {
    std::uint32_t maxInfoTx = 128;
    std::uint32_t maxInfoRx = 128;
    std::uint32_t windowTx = 1;
    std::uint32_t windowRx = 1;
};

struct ServerConfig {
    Address address{1, 0, 1};
    std::uint32_t client = 16;
    LinkParameters params;
    bool uaInfo = true;
    unsigned rnrCount = 0;
};

// The UA information field stating these parameters (identifiers 5 to 8,
// values in the fewest of 1, 2 or 4 bytes).
Bytes encodeParameters(const LinkParameters& params);

class Server {
public:
    using Logger = std::function<void(const std::string&)>;

    Server(ServerConfig config, Application application);

    void setLogger(Logger logger) { log_ = std::move(logger); }
    // Where the meter reports what it does to a hostile client, verbose or not.
    void setAlert(Logger alert) { alert_ = std::move(alert); }

    // Whether a frame is addressed to this meter by its configured client.
    bool isForMe(const Frame& frame) const;

    // Handles one decoded frame and returns the response to send, if any.
    // Frames for other addresses are ignored.
    std::optional<Frame> handle(const Frame& in);

    // Leaves the link for NDM without a frame, as a meter does after its
    // inactivity time-out: every poll is answered with DM until an SNRM.
    void dropLink();

    bool connected() const { return connected_; }
    const Address& address() const { return config_.address; }
    std::uint8_t sendCount() const { return vs_; }
    std::uint8_t receiveCount() const { return vr_; }

private:
    struct Outstanding {
        std::size_t index;
        std::uint8_t ns;
    };

    void resetLink();
    std::optional<Frame> onInformation(const Frame& in);
    std::optional<Frame> onSupervisory(const Frame& in);
    std::optional<Frame> reject(const Frame& in, std::uint8_t reason);
    Frame pollAnswer();
    Frame sendSegment(std::size_t index, std::uint8_t ns);
    Frame reply(FrameKind kind) const;
    Frame supervisory(FrameKind kind) const;
    void note(const std::string& text) const;

    ServerConfig config_;
    Application application_;
    Logger log_;
    Logger alert_;

    bool connected_ = false;
    std::uint8_t vs_ = 0;  // N(S) of the next new I-frame
    std::uint8_t vr_ = 0;  // N(S) expected from the client
    Bytes request_;
    std::vector<Bytes> answer_;  // segments of the current answer
    std::size_t nextSegment_ = 0;
    std::optional<Outstanding> outstanding_;  // sent, not yet acknowledged
    unsigned rnrLeft_ = 0;
    bool busy_ = false;
    std::optional<Frame> frameReject_;
};

}  // namespace metersim
