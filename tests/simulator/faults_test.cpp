#include <gtest/gtest.h>

#include <vector>

#include "faults.h"

using namespace metersim;

namespace {

Frame answer(FrameKind kind, std::uint8_t nr = 3) {
    Frame f;
    f.kind = kind;
    f.dst = {16, 0, 1};
    f.src = {1, 0, 1};
    f.ns = 2;
    f.nr = nr;
    if (kind == FrameKind::I) f.info = {0xE6, 0xE7, 0x00, 0x42};
    return f;
}

Frame sent(FaultInjector& faults, const Frame& f) {
    const auto t = faults.apply(f);
    Frame out;
    EXPECT_TRUE(t && decode(t->bytes, out) == DecodeError::None);
    return out;
}

}  // namespace

TEST(Faults, FireOnEveryNthAnswerOnly) {
    FaultConfig c;
    c.dropEvery = 3;
    c.lateEvery = 2;
    c.lateMs = 250;
    FaultInjector faults(c);
    std::vector<int> delays;  // -1: dropped
    for (int i = 0; i < 6; ++i) {
        const auto t = faults.apply(answer(FrameKind::RR));
        delays.push_back(t ? static_cast<int>(t->delayMs) : -1);
        if (t) {
            EXPECT_EQ(t->bytes, encode(answer(FrameKind::RR)));
        }
    }
    EXPECT_EQ(delays, (std::vector<int>{0, 250, -1, 250, 0, -1}));

    c = {};
    c.dmEvery = 2;
    c.wrongSeqEvery = 1;
    FaultInjector renumber(c);
    EXPECT_EQ(sent(renumber, answer(FrameKind::I)).ns, 3);  // N(S) wrong, N(R) kept
    const Frame dm = sent(renumber, answer(FrameKind::I));
    EXPECT_EQ(dm.kind, FrameKind::DM);
    EXPECT_TRUE(dm.info.empty() && !dm.segmented);
    EXPECT_EQ(sent(renumber, answer(FrameKind::RNR, 7)).nr, 0);
}

TEST(Faults, DamagedFramesStayDelimitable) {
    // The client must still read the frame whole by its length field, and
    // only then reject it.
    FaultConfig c;
    c.corruptEvery = 1;
    c.garbageEvery = 1;
    FaultInjector faults(c);
    const auto t = faults.apply(answer(FrameKind::I));
    ASSERT_TRUE(t);
    const Bytes& garbage = FaultInjector::garbage();
    ASSERT_EQ(Bytes(t->bytes.begin(), t->bytes.begin() + garbage.size()), garbage);
    for (const auto b : garbage) EXPECT_NE(b, kFlag);

    Deframer d;
    d.feed(t->bytes.data(), t->bytes.size());
    const auto raw = d.next();
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->size(), encode(answer(FrameKind::I)).size());
    Frame f;
    EXPECT_EQ(decode(*raw, f), DecodeError::Fcs);
}
