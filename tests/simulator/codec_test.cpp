#include <gtest/gtest.h>

#include <string>

#include "hdlc_codec.h"

using namespace metersim;

namespace {

Frame makeFrame(FrameKind kind, Address dst, Address src) {
    Frame f;
    f.kind = kind;
    f.dst = dst;
    f.src = src;
    return f;
}

const Bytes kSnrm = {0x7E, 0xA0, 0x07, 0x03, 0x21, 0x93, 0x0F, 0x01, 0x7E};

}  // namespace

TEST(Codec, KnownVectors) {
    const std::string check = "123456789";
    EXPECT_EQ(crc16(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0x906E);

    EXPECT_EQ(encode(makeFrame(FrameKind::SNRM, {1, 0, 1}, {16, 0, 1})), kSnrm);
    Frame f;
    ASSERT_EQ(decode(kSnrm, f), DecodeError::None);
    EXPECT_EQ(f.kind, FrameKind::SNRM);
    EXPECT_TRUE(f.pollFinal);
    EXPECT_EQ(f.dst, (Address{1, 0, 1}));
    EXPECT_EQ(f.src, (Address{16, 0, 1}));

    // Multi-byte addresses: 7 bits a byte, extension bit on the last byte only.
    const Bytes two = encode(makeFrame(FrameKind::DISC, {1, 17, 2}, {16, 0, 1}));
    EXPECT_EQ(Bytes(two.begin() + 3, two.begin() + 6), (Bytes{0x02, 0x23, 0x21}));
    const Bytes four = encode(makeFrame(FrameKind::DISC, {0x1234, 0x0ABC, 4}, {16, 0, 1}));
    EXPECT_EQ(Bytes(four.begin() + 3, four.begin() + 8), (Bytes{0x48, 0x68, 0x2A, 0x79, 0x21}));
}

TEST(Codec, RoundTripsEveryKindAndAddressSize) {
    const Address servers[] = {{0x7F, 0, 1}, {0x12, 0x7F, 2}, {0x3FFF, 0x1234, 4}};
    for (const Address& server : servers) {
        for (int k = 0; k <= static_cast<int>(FrameKind::UI); ++k) {
            const auto kind = static_cast<FrameKind>(k);
            SCOPED_TRACE(std::string(toString(kind)) + " size " + std::to_string(server.size));
            const Address client{0x10, 0, 1};
            Frame f = k % 2 ? makeFrame(kind, server, client) : makeFrame(kind, client, server);
            f.pollFinal = k % 2 == 0;
            if (kind == FrameKind::I) f.ns = 7;
            if (kind == FrameKind::I || kind == FrameKind::RR || kind == FrameKind::RNR) f.nr = 5;
            if (kind == FrameKind::I || kind == FrameKind::UA || kind == FrameKind::UI) {
                f.info = {0xE6, 0xE6, 0x00, 0x7E, 0x01};
                f.segmented = true;
            }
            Frame back;
            ASSERT_EQ(decode(encode(f), back), DecodeError::None);
            EXPECT_EQ(back.kind, kind);
            EXPECT_EQ(back.dst, f.dst);
            EXPECT_EQ(back.src, f.src);
            EXPECT_EQ(back.pollFinal, f.pollFinal);
            EXPECT_EQ(back.ns, f.ns);
            EXPECT_EQ(back.nr, f.nr);
            EXPECT_EQ(back.segmented, f.segmented);
            EXPECT_EQ(back.info, f.info);
        }
    }
}

TEST(Codec, RejectsDamagedAndOversizedFrames) {
    Frame i = makeFrame(FrameKind::I, {1, 0, 1}, {16, 0, 1});
    i.info = {0xE6, 0xE6, 0x00, 0x01};
    const Bytes good = encode(i);
    Frame out;

    Bytes bad = good;
    bad[bad.size() - 4] ^= 0x01;
    EXPECT_EQ(decode(bad, out), DecodeError::Fcs);

    bad = good;
    bad[6] ^= 0x01;  // HCS, with the FCS made to fit again
    const std::uint16_t fcs = crc16(bad.data() + 1, bad.size() - 4);
    bad[bad.size() - 3] = fcs & 0xFF;
    bad[bad.size() - 2] = fcs >> 8;
    EXPECT_EQ(decode(bad, out), DecodeError::Hcs);

    Frame big = makeFrame(FrameKind::I, {16, 0, 1}, {0x1000, 0x1000, 4});
    big.info.assign(maxInfoLength(1, 4), 0xAB);
    EXPECT_EQ(encode(big).size(), kMaxFrameLength + 2);
    big.info.push_back(0);
    EXPECT_THROW(encode(big), std::length_error);
}

TEST(Deframer, FindsFramesInTheStream) {
    Deframer d;
    const Bytes garbage = {0x00, 0x13, 0xA0, 0xFF};
    d.feed(garbage.data(), garbage.size());
    for (std::size_t i = 0; i + 1 < kSnrm.size(); ++i) {
        d.feed(&kSnrm[i], 1);
        EXPECT_FALSE(d.next()) << "byte " << i;
    }
    d.feed(&kSnrm.back(), 1);
    EXPECT_EQ(d.next(), kSnrm);
    EXPECT_EQ(d.skippedBytes(), garbage.size());

    // Back to back with own flags, then sharing the previous closing flag.
    const Bytes disc = encode(makeFrame(FrameKind::DISC, {1, 0, 1}, {16, 0, 1}));
    Bytes stream = disc;
    stream.insert(stream.end(), disc.begin() + 1, disc.end());
    d.feed(stream.data(), stream.size());
    EXPECT_EQ(d.next(), disc);
    EXPECT_EQ(d.next(), disc);
    EXPECT_FALSE(d.next());
    EXPECT_FALSE(d.hasPartial());
}

TEST(Deframer, RecoversFromFalseStarts) {
    // A length that runs past the next real frame's start is rejected once
    // its closing flag is missing...
    Deframer d;
    Bytes stream = {0x7E, 0xA0, 0x09};
    stream.insert(stream.end(), kSnrm.begin(), kSnrm.end());
    d.feed(stream.data(), stream.size());
    EXPECT_EQ(d.next(), kSnrm);

    // ...and one that runs past everything received is given up on idle.
    stream[2] = 0x40;
    d.feed(stream.data(), stream.size());
    EXPECT_FALSE(d.next());
    ASSERT_TRUE(d.hasPartial());
    d.dropPartial();
    EXPECT_EQ(d.next(), kSnrm);
}
