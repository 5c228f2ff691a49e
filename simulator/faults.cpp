#include "faults.h"

namespace metersim {

const Bytes& FaultInjector::garbage() {
    static const Bytes bytes = {0x00, 0xFF, 0x55, 0xA0};
    return bytes;
}

std::optional<Transmission> FaultInjector::apply(Frame answer) {
    ++count_;
    if (fires(config_.dropEvery)) return std::nullopt;

    bool dropsLink = false;
    if (fires(config_.dmEvery)) {
        answer.kind = FrameKind::DM;
        answer.info.clear();
        answer.segmented = false;
        dropsLink = true;
    } else if (fires(config_.wrongSeqEvery)) {
        if (answer.kind == FrameKind::I)
            answer.ns = static_cast<std::uint8_t>((answer.ns + 1) & 7);
        else
            answer.nr = static_cast<std::uint8_t>((answer.nr + 1) & 7);
    }

    Transmission t;
    t.bytes = encode(answer);
    t.dropsLink = dropsLink;
    if (fires(config_.corruptEvery)) {
        // The last byte before the FCS: flag and length stay intact, so the
        // client reads the whole frame and only its check fails.
        t.bytes[t.bytes.size() - 4] ^= 0x5A;
    }
    if (fires(config_.garbageEvery)) t.bytes.insert(t.bytes.begin(), garbage().begin(), garbage().end());
    if (fires(config_.lateEvery)) t.delayMs = config_.lateMs;
    return t;
}

}  // namespace metersim
