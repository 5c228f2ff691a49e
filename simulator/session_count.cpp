#include "session_count.h"

namespace metersim {

void SessionCounter::observe(const Frame& frame, bool connected, std::uint8_t expectedNs) {
    switch (frame.kind) {
    case FrameKind::SNRM:
        if (connected)
            ++count_.overlapping;
        else
            ++count_.sessions;
        break;
    case FrameKind::I:
        if (!connected || frame.ns != expectedNs) ++count_.overlapping;
        break;
    case FrameKind::RR:
    case FrameKind::RNR:
        if (!connected) ++count_.overlapping;
        break;
    default:
        break;
    }
}

void GatewayCounter::accepted(std::size_t open) {
    ++count_.sessions;
    if (open >= limit_) ++count_.overlapping;
}

}  // namespace metersim
