#include "hdlc_codec.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace metersim {

namespace {

constexpr std::uint16_t kFormatType = 0xA000;
constexpr std::uint16_t kSegmentationBit = 0x0800;
constexpr std::uint8_t kPollFinal = 0x10;

// Unnumbered control values without the P/F bit.
constexpr std::uint8_t kSnrm = 0x83;
constexpr std::uint8_t kDisc = 0x43;
constexpr std::uint8_t kUa = 0x63;
constexpr std::uint8_t kDm = 0x0F;
constexpr std::uint8_t kFrmr = 0x87;
constexpr std::uint8_t kUi = 0x03;

void appendCrc(Bytes& out, std::size_t from) {
    const std::uint16_t crc = crc16(out.data() + from, out.size() - from);
    out.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    out.push_back(static_cast<std::uint8_t>(crc >> 8));
}

bool crcMatches(const Bytes& raw, std::size_t from, std::size_t to) {
    const std::uint16_t crc = crc16(raw.data() + from, to - from);
    return raw[to] == (crc & 0xFF) && raw[to + 1] == (crc >> 8);
}

void encodeAddress(const Address& a, Bytes& out) {
    if (!a.valid()) throw std::invalid_argument("invalid HDLC address");
    // Each byte carries 7 address bits above the extension bit, which is set
    // on the last byte only.
    switch (a.size) {
    case 1:
        out.push_back(static_cast<std::uint8_t>(a.upper << 1 | 1));
        break;
    case 2:
        out.push_back(static_cast<std::uint8_t>(a.upper << 1));
        out.push_back(static_cast<std::uint8_t>(a.lower << 1 | 1));
        break;
    default:
        out.push_back(static_cast<std::uint8_t>((a.upper >> 7) << 1));
        out.push_back(static_cast<std::uint8_t>((a.upper & 0x7F) << 1));
        out.push_back(static_cast<std::uint8_t>((a.lower >> 7) << 1));
        out.push_back(static_cast<std::uint8_t>((a.lower & 0x7F) << 1 | 1));
        break;
    }
}

// Reads an address at pos up to the byte with the extension bit; advances pos.
bool decodeAddress(const Bytes& raw, std::size_t& pos, std::size_t end, Address& a) {
    std::size_t n = 0;
    std::uint32_t v[4] = {};
    while (pos < end && n < 4) {
        const std::uint8_t b = raw[pos++];
        v[n++] = b >> 1;
        if (b & 1) break;
        if (n == 4) return false;  // no extension bit within 4 bytes
    }
    if (n == 0 || !(raw[pos - 1] & 1)) return false;
    switch (n) {
    case 1: a = {v[0], 0, 1}; return true;
    case 2: a = {v[0], v[1], 2}; return true;
    case 4: a = {v[0] << 7 | v[1], v[2] << 7 | v[3], 4}; return true;
    default: return false;
    }
}

}  // namespace

std::uint8_t controlField(const Frame& f) {
    const std::uint8_t pf = f.pollFinal ? kPollFinal : 0;
    const std::uint8_t nr = static_cast<std::uint8_t>((f.nr & 7) << 5);
    switch (f.kind) {
    case FrameKind::I: return static_cast<std::uint8_t>(nr | pf | (f.ns & 7) << 1);
    case FrameKind::RR: return nr | pf | 0x01;
    case FrameKind::RNR: return nr | pf | 0x05;
    case FrameKind::SNRM: return kSnrm | pf;
    case FrameKind::DISC: return kDisc | pf;
    case FrameKind::UA: return kUa | pf;
    case FrameKind::DM: return kDm | pf;
    case FrameKind::FRMR: return kFrmr | pf;
    case FrameKind::UI: return kUi | pf;
    case FrameKind::Unknown: break;
    }
    return f.control;
}

namespace {

void parseControl(std::uint8_t c, Frame& f) {
    f.control = c;
    f.pollFinal = (c & kPollFinal) != 0;
    f.ns = 0;
    f.nr = 0;
    if ((c & 0x01) == 0) {
        f.kind = FrameKind::I;
        f.ns = (c >> 1) & 7;
        f.nr = c >> 5;
        return;
    }
    if ((c & 0x03) == 0x01) {
        // Supervisory; REJ and SREJ are not part of this profile.
        const unsigned type = (c >> 2) & 3;
        f.kind = type == 0 ? FrameKind::RR : type == 1 ? FrameKind::RNR : FrameKind::Unknown;
        f.nr = c >> 5;
        return;
    }
    switch (c & ~kPollFinal) {
    case kSnrm: f.kind = FrameKind::SNRM; break;
    case kDisc: f.kind = FrameKind::DISC; break;
    case kUa: f.kind = FrameKind::UA; break;
    case kDm: f.kind = FrameKind::DM; break;
    case kFrmr: f.kind = FrameKind::FRMR; break;
    case kUi: f.kind = FrameKind::UI; break;
    default: f.kind = FrameKind::Unknown; break;
    }
}

}  // namespace

std::uint16_t crc16(const std::uint8_t* data, std::size_t size) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    }
    return static_cast<std::uint16_t>(~crc);
}

bool Address::operator==(const Address& other) const {
    // A 1-byte address has no lower part on the wire.
    return size == other.size && upper == other.upper && (size == 1 || lower == other.lower);
}

bool Address::valid() const {
    switch (size) {
    case 1: return upper <= 0x7F;
    case 2: return upper <= 0x7F && lower <= 0x7F;
    case 4: return upper <= 0x3FFF && lower <= 0x3FFF;
    default: return false;
    }
}

const char* toString(FrameKind kind) {
    switch (kind) {
    case FrameKind::I: return "I";
    case FrameKind::RR: return "RR";
    case FrameKind::RNR: return "RNR";
    case FrameKind::SNRM: return "SNRM";
    case FrameKind::DISC: return "DISC";
    case FrameKind::UA: return "UA";
    case FrameKind::DM: return "DM";
    case FrameKind::FRMR: return "FRMR";
    case FrameKind::UI: return "UI";
    case FrameKind::Unknown: break;
    }
    return "unknown";
}

const char* toString(DecodeError error) {
    switch (error) {
    case DecodeError::None: return "ok";
    case DecodeError::Format: return "bad flag or frame format";
    case DecodeError::Length: return "length field does not match";
    case DecodeError::Address: return "bad address field";
    case DecodeError::Hcs: return "bad HCS";
    case DecodeError::Fcs: return "bad FCS";
    }
    return "?";
}

std::size_t maxInfoLength(unsigned dstSize, unsigned srcSize) {
    // format, addresses, control, HCS, FCS
    return kMaxFrameLength - (2 + dstSize + srcSize + 1 + 2 + 2);
}

Bytes encode(const Frame& frame) {
    Bytes out;
    out.reserve(frame.info.size() + 16);
    out.push_back(kFlag);
    out.push_back(0);  // format field, filled in below once the length is known
    out.push_back(0);
    encodeAddress(frame.dst, out);
    encodeAddress(frame.src, out);
    out.push_back(controlField(frame));

    const std::size_t length = out.size() - 1 + (frame.info.empty() ? 0 : 2 + frame.info.size()) + 2;
    if (length > kMaxFrameLength) throw std::length_error("HDLC frame too long");
    const std::uint16_t format = static_cast<std::uint16_t>(
        kFormatType | (frame.segmented ? kSegmentationBit : 0) | length);
    out[1] = static_cast<std::uint8_t>(format >> 8);
    out[2] = static_cast<std::uint8_t>(format & 0xFF);

    if (!frame.info.empty()) {
        appendCrc(out, 1);
        out.insert(out.end(), frame.info.begin(), frame.info.end());
    }
    appendCrc(out, 1);
    out.push_back(kFlag);
    return out;
}

DecodeError decode(const Bytes& raw, Frame& out) {
    if (raw.size() < kMinFrameLength + 2 || raw.front() != kFlag || raw.back() != kFlag)
        return DecodeError::Format;
    const std::uint16_t format = static_cast<std::uint16_t>(raw[1] << 8 | raw[2]);
    if ((format & 0xF000) != kFormatType) return DecodeError::Format;
    if ((format & 0x07FF) != raw.size() - 2) return DecodeError::Length;

    const std::size_t fcsPos = raw.size() - 3;
    if (!crcMatches(raw, 1, fcsPos)) return DecodeError::Fcs;

    Frame f;
    std::size_t pos = 3;
    if (!decodeAddress(raw, pos, fcsPos, f.dst) || !decodeAddress(raw, pos, fcsPos, f.src))
        return DecodeError::Address;
    if (pos >= fcsPos) return DecodeError::Length;
    parseControl(raw[pos++], f);
    f.segmented = (format & kSegmentationBit) != 0;

    if (pos < fcsPos) {
        // Anything between control and FCS is an HCS followed by the information field.
        if (fcsPos - pos < 2) return DecodeError::Length;
        if (!crcMatches(raw, 1, pos)) return DecodeError::Hcs;
        f.info.assign(raw.begin() + static_cast<std::ptrdiff_t>(pos + 2),
                      raw.begin() + static_cast<std::ptrdiff_t>(fcsPos));
    }
    out = std::move(f);
    return DecodeError::None;
}

std::string toHex(const Bytes& bytes) {
    std::string s;
    s.reserve(bytes.size() * 3);
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        s += buf;
    }
    return s;
}

void Deframer::feed(const std::uint8_t* data, std::size_t size) {
    buffer_.insert(buffer_.end(), data, data + size);
    fed_ += size;
}

void Deframer::discard(std::size_t count) {
    skipped_ += count;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
}

std::optional<Bytes> Deframer::next() {
    for (;;) {
        const auto flag = std::find(buffer_.begin(), buffer_.end(), kFlag);
        discard(static_cast<std::size_t>(flag - buffer_.begin()));
        if (buffer_.size() < 2) return std::nullopt;
        if (buffer_[1] == kFlag) {
            // Back-to-back flags: the first one closed the previous frame.
            buffer_.erase(buffer_.begin());
            continue;
        }
        if (buffer_.size() < 3) return std::nullopt;
        const std::size_t length = (buffer_[1] & 0x07) << 8 | buffer_[2];
        if ((buffer_[1] & 0xF0) != 0xA0 || length < kMinFrameLength) {
            discard(1);
            continue;
        }
        if (buffer_.size() < length + 2) return std::nullopt;
        if (buffer_[length + 1] != kFlag) {
            discard(1);
            continue;
        }
        Bytes frame(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length + 2));
        // Keep the closing flag: it may also open the next frame.
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length + 1));
        frameEnd_ = fed_ - buffer_.size() + 1;
        return frame;
    }
}

bool Deframer::hasPartial() const {
    return buffer_.size() > 1 || (buffer_.size() == 1 && buffer_[0] != kFlag);
}

void Deframer::dropPartial() {
    if (!buffer_.empty()) discard(1);
}

}  // namespace metersim
