// Counts the sessions a line carries and those that overlap, so that a test
// can show that its clients took turns on the line.
//
// A session runs from the SNRM the meter accepts to the DISC that ends the
// link. One client at a time never sends an SNRM while its own link is up
// (it sends a DISC first), nor I, RR or RNR frames while the link is down,
// nor an I-frame out of sequence. A second client cutting into a session
// does one of these sooner or later, and each such frame counts as one
// overlap. Faults and dropped links make a lone client do the same, so the
// count means something on a line without faults only.
#pragma once

#include <cstdint>

#include "hdlc_codec.h"

namespace metersim {

struct SessionCount {
    unsigned long sessions = 0;
    unsigned long overlapping = 0;
};

class SessionCounter {
public:
    // Looks at a frame addressed to the meter before the meter handles it,
    // given whether the link is up and the N(S) the meter expects next.
    void observe(const Frame& frame, bool connected, std::uint8_t expectedNs);

    const SessionCount& count() const { return count_; }

private:
    SessionCount count_;
};

// Connections a gateway holds at once beyond its limit of sessions.
class GatewayCounter {
public:
    explicit GatewayCounter(unsigned limit) : limit_(limit) {}

    // A connection was accepted while `open` others were open.
    void accepted(std::size_t open);

    const SessionCount& count() const { return count_; }

private:
    unsigned limit_;
    SessionCount count_;
};

}  // namespace metersim
