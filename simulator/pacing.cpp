#include "pacing.h"

#include <algorithm>

namespace metersim {

namespace {
constexpr std::uint64_t kBitsPerByte = 10;
constexpr std::uint64_t kNanosecondBits = 1000000000ull * kBitsPerByte;
}  // namespace

Duration lineTime(std::size_t bytes, unsigned baud) {
    if (baud == 0) return Duration::zero();
    const std::uint64_t ns = (bytes * kNanosecondBits + baud - 1) / baud;
    return std::chrono::duration_cast<Duration>(std::chrono::nanoseconds(ns));
}

TimePoint Receiver::take(std::size_t bytes, TimePoint now) {
    const TimePoint start = std::max(now, free_);
    free_ = start + lineTime(bytes, baud_);
    return start;
}

void Transmitter::queue(Bytes bytes, unsigned baud, TimePoint notBefore) {
    if (bytes.empty()) return;
    queued_ += bytes.size();
    items_.push_back(Item{std::move(bytes), baud, notBefore});
    if (items_.size() == 1) start(items_.front());
}

void Transmitter::start(Item& item) {
    item.start = std::max(free_, item.notBefore);
    free_ = item.start + lineTime(item.bytes.size(), item.baud);
}

std::size_t Transmitter::chunkBytes(const Item& item) const {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(chunk_).count();
    const std::uint64_t bytes = static_cast<std::uint64_t>(ns) * item.baud / kNanosecondBits;
    return static_cast<std::size_t>(std::max<std::uint64_t>(bytes, 1));
}

std::size_t Transmitter::arrived(const Item& item, TimePoint now) const {
    if (now < item.start) return 0;
    const std::size_t size = item.bytes.size();
    const auto elapsed = now - item.start;
    if (item.baud == 0 || elapsed >= lineTime(size, item.baud)) return size;
    const auto ns = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
    return static_cast<std::size_t>(ns * item.baud / kNanosecondBits);
}

std::optional<TimePoint> Transmitter::due() const {
    if (items_.empty()) return std::nullopt;
    const Item& item = items_.front();
    const std::size_t target = std::min(item.written + chunkBytes(item), item.bytes.size());
    return item.start + lineTime(target, item.baud);
}

std::pair<const std::uint8_t*, std::size_t> Transmitter::ready(TimePoint now) const {
    if (items_.empty() || now < *due()) return {nullptr, 0};
    const Item& item = items_.front();
    return {item.bytes.data() + item.written, arrived(item, now) - item.written};
}

void Transmitter::wrote(std::size_t count) {
    Item& item = items_.front();
    item.written += count;
    queued_ -= count;
    if (item.written < item.bytes.size()) return;
    items_.pop_front();
    if (!items_.empty()) start(items_.front());
}

}  // namespace metersim
