// Line timing of the simulated serial line, in both directions. Every byte
// takes 10 bit times (8N1 and 7E1 alike); baud 0 means an unpaced line on
// which every byte arrives the moment it is written.
//
// The classes are pure: they take the current time as an argument and never
// sleep, so that one event loop can drive any number of lines and the
// arithmetic can be checked in unit tests.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

#include "hdlc_codec.h"

namespace metersim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Duration = Clock::duration;

// The line time of `bytes` at `baud` (rounded up to the nanosecond); zero
// when the line is unpaced.
Duration lineTime(std::size_t bytes, unsigned baud);

// The receiving side: when the bytes the client wrote have arrived. Bytes
// read from the line queue up behind the bytes before them; idle time earns
// no credit. A byte has arrived once its last bit has.
class Receiver {
public:
    explicit Receiver(unsigned baud = 0) : baud_(baud) {}

    unsigned baud() const { return baud_; }
    // Bytes taken afterwards travel at the new rate.
    void setBaud(unsigned baud) { baud_ = baud; }

    // Bytes read at `now` start arriving after everything read before them.
    // Returns when the first of them starts.
    TimePoint take(std::size_t bytes, TimePoint now);
    // When the `count`-th byte (1-based) of a block that started at `start`
    // has arrived.
    TimePoint arrival(TimePoint start, std::size_t count) const { return start + lineTime(count, baud_); }
    // When the last byte taken so far has arrived.
    TimePoint lastArrival() const { return free_; }

private:
    unsigned baud_;
    TimePoint free_{};
};

// The sending side: transmissions queue up and go out at the rate of the
// line. A byte is handed to the client once its last bit would have arrived
// there, in chunks of `chunk` line time, so that a frame is complete for the
// client exactly when it would be on a real line, whatever the chunk size.
// A transmission starts no earlier than its `notBefore` time nor before the
// previous one ends.
class Transmitter {
public:
    explicit Transmitter(Duration chunk) : chunk_(chunk) {}

    void queue(Bytes bytes, unsigned baud, TimePoint notBefore);
    bool idle() const { return items_.empty(); }
    // Bytes queued and not yet handed over.
    std::size_t queued() const { return queued_; }
    // When the next chunk is due; nullopt when nothing is queued.
    std::optional<TimePoint> due() const;
    // The bytes that may be handed over at `now`: at least one chunk (or the
    // rest of a transmission) once due, and all that has arrived when the
    // caller is late. Empty before then.
    std::pair<const std::uint8_t*, std::size_t> ready(TimePoint now) const;
    // Records that the first `count` bytes of ready() were handed over.
    void wrote(std::size_t count);
    // Forgets everything queued, e.g. when nobody reads the line.
    void clear() {
        items_.clear();
        queued_ = 0;
    }

private:
    struct Item {
        Bytes bytes;
        unsigned baud;
        TimePoint notBefore;
        TimePoint start{};
        std::size_t written = 0;
    };

    void start(Item& item);
    std::size_t chunkBytes(const Item& item) const;
    std::size_t arrived(const Item& item, TimePoint now) const;

    Duration chunk_;
    std::deque<Item> items_;
    TimePoint free_{};  // when the transmission in progress ends
    std::size_t queued_ = 0;
};

}  // namespace metersim
