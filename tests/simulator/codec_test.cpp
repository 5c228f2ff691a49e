// The simulator's frame codec against known frames; the deframer, the
// server and the fault injections are exercised end to end by
// tests/test_serial_link.py.
#include <gtest/gtest.h>

#include <string>

#include "hdlc_codec.h"

using namespace metersim;

namespace {

Frame makeFrame(FrameKind kind, Address dst = {1, 0, 1}, Address src = {16, 0, 1}) {
    Frame f;
    f.kind = kind;
    f.dst = dst;
    f.src = src;
    f.ns = 2;
    f.nr = 3;
    if (kind == FrameKind::I) f.info = {0xE6, 0xE7, 0x00, 0x42};
    return f;
}

const Bytes kSnrm = {0x7E, 0xA0, 0x07, 0x03, 0x21, 0x93, 0x0F, 0x01, 0x7E};

}  // namespace

TEST(Codec, KnownVectorsAndRoundTrips) {
    const std::string check = "123456789";
    EXPECT_EQ(crc16(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0x906E);
    Frame snrm = makeFrame(FrameKind::SNRM);
    snrm.ns = snrm.nr = 0;
    EXPECT_EQ(encode(snrm), kSnrm);
    // Multi-byte addresses: 7 bits a byte, extension bit on the last byte only.
    const Bytes four = encode(makeFrame(FrameKind::DISC, {0x1234, 0x0ABC, 4}));
    EXPECT_EQ(Bytes(four.begin() + 3, four.begin() + 8), (Bytes{0x48, 0x68, 0x2A, 0x79, 0x21}));
    for (const Address& server : {Address{0x7F, 0, 1}, Address{0x12, 0x7F, 2}, Address{0x3FFF, 0x1234, 4}}) {
        for (int k = 0; k <= static_cast<int>(FrameKind::UI); ++k) {
            const auto kind = static_cast<FrameKind>(k);
            SCOPED_TRACE(std::string(toString(kind)) + " size " + std::to_string(server.size));
            Frame f = k % 2 ? makeFrame(kind, server, {0x10, 0, 1}) : makeFrame(kind, {0x10, 0, 1}, server);
            f.pollFinal = k % 2 == 0;
            f.ns = kind == FrameKind::I ? 7 : 0;
            f.nr = kind == FrameKind::I || kind == FrameKind::RR || kind == FrameKind::RNR ? 5 : 0;
            if (kind == FrameKind::I || kind == FrameKind::UA || kind == FrameKind::UI) {
                f.info = {0xE6, 0xE6, 0x00, 0x7E, 0x01};
                f.segmented = true;
            }
            Frame back;
            ASSERT_EQ(decode(encode(f), back), DecodeError::None);
            EXPECT_EQ(std::make_tuple(back.kind, back.dst, back.src, back.pollFinal, back.ns, back.nr, back.segmented,
                                      back.info),
                      std::make_tuple(kind, f.dst, f.src, f.pollFinal, f.ns, f.nr, f.segmented, f.info));
        }
    }
}
