// Fault injection on the meter's answers. Each mode fires on every Nth answer
// (1-based; 0 disables it), counted over all answers the meter would send.
// Faults change only what goes on the line: the link state of the server is
// that of the undisturbed answer, as with a real line fault. The one
// exception is DM, which a meter sends because it left the link: the
// transmission says so, and the endpoint drops the server's link.
#pragma once

#include <optional>

#include "hdlc_codec.h"

namespace metersim {

struct FaultConfig {
    unsigned dropEvery = 0;      // send nothing
    unsigned corruptEvery = 0;   // flip one byte before the FCS
    unsigned lateEvery = 0;      // delay the answer by lateMs
    unsigned lateMs = 0;
    unsigned wrongSeqEvery = 0;  // I: N(S)+1; RR/RNR: N(R)+1
    unsigned dmEvery = 0;        // answer DM instead, and drop the link
    unsigned garbageEvery = 0;   // non-flag bytes before the frame
};

struct Transmission {
    Bytes bytes;
    unsigned delayMs = 0;
    bool dropsLink = false;  // a DM: the meter is in NDM from now on
};

class FaultInjector {
public:
    explicit FaultInjector(FaultConfig config) : config_(config) {}

    // The bytes to write for this answer, or nullopt when it is dropped.
    std::optional<Transmission> apply(Frame answer);

    // Bytes written in front of a frame by the garbage fault.
    static const Bytes& garbage();

private:
    bool fires(unsigned every) const { return every != 0 && count_ % every == 0; }

    FaultConfig config_;
    unsigned long count_ = 0;
};

}  // namespace metersim
