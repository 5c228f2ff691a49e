// HDLC frame codec of the meter simulator: check sequences, frame encoding
// and decoding, and a deframer that cuts frames out of a serial byte stream.
//
// Frames are length-delimited (no byte stuffing):
//   7E | format(2) | dst | src | control | [HCS(2) | info] | FCS(2) | 7E
// The format field is 0xA000 | segmentation 0x0800 | 11-bit length, where the
// length counts every byte between the two flags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace metersim {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kFlag = 0x7E;
constexpr std::size_t kMaxFrameLength = 0x7FF;  // largest value of the length field
constexpr std::size_t kMinFrameLength = 7;      // format, 1+1 address bytes, control, FCS

// CRC-16/X.25 (reflected polynomial 0x8408, init and xorout 0xFFFF), used for
// both HCS and FCS; transmitted least significant byte first.
std::uint16_t crc16(const std::uint8_t* data, std::size_t size);

// An HDLC address. size is the number of bytes on the wire: 1 (upper only,
// 7 bits), 2 (upper and lower, 7 bits each) or 4 (upper and lower, 14 bits
// each). Client addresses are always 1 byte.
struct Address {
    std::uint32_t upper = 0;
    std::uint32_t lower = 0;
    unsigned size = 1;

    bool operator==(const Address& other) const;
    bool operator!=(const Address& other) const { return !(*this == other); }
    bool valid() const;
};

enum class FrameKind { I, RR, RNR, SNRM, DISC, UA, DM, FRMR, UI, Unknown };
const char* toString(FrameKind kind);

struct Frame {
    FrameKind kind = FrameKind::Unknown;
    Address dst;
    Address src;
    bool pollFinal = true;
    std::uint8_t ns = 0;  // N(S), I-frames only
    std::uint8_t nr = 0;  // N(R), I, RR and RNR
    bool segmented = false;
    Bytes info;  // empty: the frame carries no information field (and no HCS)
    std::uint8_t control = 0;  // raw control byte; set by decode, used for Unknown
};

// The control byte for this frame (the raw one for kind Unknown).
std::uint8_t controlField(const Frame& frame);

// Largest information field that fits into one frame with these address sizes.
std::size_t maxInfoLength(unsigned dstSize, unsigned srcSize);

// Encodes a frame flag to flag. Throws std::invalid_argument for an invalid
// address and std::length_error when the frame would exceed kMaxFrameLength.
Bytes encode(const Frame& frame);

enum class DecodeError { None, Format, Length, Address, Hcs, Fcs };
const char* toString(DecodeError error);

// Decodes one frame given flag to flag. Frames with an unknown control byte
// decode successfully with kind Unknown; the caller decides how to answer.
DecodeError decode(const Bytes& raw, Frame& out);

std::string toHex(const Bytes& bytes);

// Finds frames in a byte stream. Bytes outside frames are skipped; a candidate
// is accepted when it starts with a flag, has the 0xA frame type and a sane
// length, and ends with a flag exactly where the length field says. A closing
// flag may double as the opening flag of the next frame.
class Deframer {
public:
    void feed(const std::uint8_t* data, std::size_t size);
    // The next complete candidate frame, or nullopt while more bytes are needed.
    std::optional<Bytes> next();
    // True while a frame has been started but not completed.
    bool hasPartial() const;
    // Gives up on the started frame, e.g. after the line went idle mid-frame.
    void dropPartial();
    std::size_t skippedBytes() const { return skipped_; }
    // Bytes fed so far, and how many of them had been fed when the frame
    // last returned by next() was complete (its closing flag included).
    std::uint64_t fedBytes() const { return fed_; }
    std::uint64_t frameEnd() const { return frameEnd_; }

private:
    void discard(std::size_t count);

    Bytes buffer_;
    std::size_t skipped_ = 0;
    std::uint64_t fed_ = 0;
    std::uint64_t frameEnd_ = 0;
};

}  // namespace metersim
