// Line timing in both directions: when received bytes have arrived, and when
// paced output may be handed to the client.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hdlc_codec.h"
#include "pacing.h"

using namespace metersim;
using std::chrono::microseconds;
using std::chrono::milliseconds;

namespace {

const TimePoint t0 = TimePoint{} + std::chrono::hours(1);

Bytes bytes(std::size_t n) { return Bytes(n, 0x55); }

}  // namespace

TEST(Pacing, LineTimeIsTenBitsAByte) {
    EXPECT_EQ(lineTime(960, 9600), std::chrono::seconds(1));
    EXPECT_EQ(lineTime(30, 300), std::chrono::seconds(1));
    EXPECT_EQ(lineTime(1, 115200), std::chrono::nanoseconds(86806));  // rounded up
    EXPECT_EQ(lineTime(1000000, 0), Duration::zero());
}

TEST(Pacing, ReceivedBytesQueueBehindEachOtherAndIdleEarnsNoCredit) {
    Receiver line(9600);
    // A 2000-byte frame read at once arrives over 2.083 s.
    const TimePoint start = line.take(2000, t0);
    EXPECT_EQ(start, t0);
    EXPECT_EQ(line.arrival(start, 2000), t0 + lineTime(2000, 9600));
    EXPECT_EQ(line.lastArrival(), t0 + lineTime(2000, 9600));
    // Read a moment later, the next bytes still wait for the line.
    const TimePoint next = line.take(10, t0 + milliseconds(1));
    EXPECT_EQ(next, t0 + lineTime(2000, 9600));
    EXPECT_EQ(line.arrival(next, 1), t0 + lineTime(2000, 9600) + lineTime(1, 9600));
    // After a pause, bytes start when they are read.
    EXPECT_EQ(line.take(1, t0 + std::chrono::seconds(10)), t0 + std::chrono::seconds(10));
    // A rate switch applies to the bytes taken afterwards.
    line.setBaud(300);
    const TimePoint slow = line.take(3, t0 + std::chrono::seconds(20));
    EXPECT_EQ(line.arrival(slow, 3), slow + milliseconds(100));

    Receiver unpaced(0);
    EXPECT_EQ(unpaced.take(5000, t0), t0);
    EXPECT_EQ(unpaced.lastArrival(), t0);
}

// Whatever the chunk, a byte reaches the client no earlier than its last bit
// would, and the transmission is complete exactly at its line time.
TEST(Pacing, OutputNeverRunsAheadOfTheLineAndEndsOnTime) {
    for (const auto chunk : {microseconds(100), microseconds(10000), microseconds(41000), microseconds(1000000)}) {
        for (const unsigned baud : {300u, 9600u, 115200u}) {
            SCOPED_TRACE(std::to_string(chunk.count()) + " us chunks at " + std::to_string(baud));
            Transmitter tx(chunk);
            const std::size_t size = 1000;
            tx.queue(bytes(size), baud, t0);
            std::size_t written = 0;
            TimePoint last{};
            while (auto due = tx.due()) {
                EXPECT_TRUE(tx.ready(*due - std::chrono::nanoseconds(1)).second == 0);
                const auto ready = tx.ready(*due);
                ASSERT_GT(ready.second, 0u);
                written += ready.second;
                EXPECT_LE(t0 + lineTime(written, baud), *due);
                tx.wrote(ready.second);
                last = *due;
            }
            EXPECT_EQ(written, size);
            EXPECT_EQ(last, t0 + lineTime(size, baud));
        }
    }
}

TEST(Pacing, ChunksAreAboutTheChunkTimeAndALateWriterCatchesUp) {
    Transmitter tx(milliseconds(10));
    tx.queue(bytes(100), 9600, t0);
    EXPECT_EQ(*tx.due(), t0 + lineTime(9, 9600));  // 9.6 bytes in 10 ms, whole bytes only
    EXPECT_EQ(tx.ready(*tx.due()).second, 9u);
    // Woken 50 bytes late, the writer gets everything that has arrived.
    EXPECT_EQ(tx.ready(t0 + lineTime(59, 9600)).second, 59u);
    tx.wrote(59);
    EXPECT_EQ(*tx.due(), t0 + lineTime(68, 9600));
}

TEST(Pacing, TransmissionsFollowEachOtherAndWaitForTheirStart) {
    Transmitter tx(milliseconds(10));
    tx.queue(bytes(96), 9600, t0);                     // 100 ms
    tx.queue(bytes(96), 9600, t0 + milliseconds(20));  // wants to start earlier: waits
    tx.queue(bytes(96), 9600, t0 + milliseconds(500)); // starts late: no credit for idle time
    std::vector<TimePoint> ends;  // when each transmission was complete
    std::size_t written = 0;
    while (const auto due = tx.due()) {
        const std::size_t n = tx.ready(*due).second;
        tx.wrote(n);
        written += n;
        if (written % 96 == 0) ends.push_back(*due);
    }
    EXPECT_EQ(ends, (std::vector<TimePoint>{t0 + milliseconds(100), t0 + milliseconds(200), t0 + milliseconds(600)}));
    EXPECT_TRUE(tx.idle());


    Transmitter unpaced(milliseconds(10));  // everything at its start, at once
    unpaced.queue(bytes(5000), 0, t0 + milliseconds(7));
    EXPECT_EQ(unpaced.ready(t0).second, 0u);
    EXPECT_EQ(unpaced.ready(t0 + milliseconds(7)).second, 5000u);
    unpaced.clear();
    EXPECT_FALSE(unpaced.due());
}

// The receive side times a frame by the byte that completes it.
TEST(Pacing, DeframerTellsWhereEachFrameEnded) {
    const Bytes snrm = {0x7E, 0xA0, 0x07, 0x03, 0x21, 0x93, 0x0F, 0x01, 0x7E};
    Bytes stream = {0x00, 0x11};                              // noise
    stream.insert(stream.end(), snrm.begin(), snrm.end());    // ends at 11
    stream.insert(stream.end(), snrm.begin() + 1, snrm.end()); // shares the flag: ends at 19
    stream.insert(stream.end(), snrm.begin(), snrm.begin() + 4);
    Deframer d;
    d.feed(stream.data(), stream.size());
    std::vector<std::uint64_t> ends;
    while (d.next()) ends.push_back(d.frameEnd());
    EXPECT_EQ(ends, (std::vector<std::uint64_t>{11, 19}));
    EXPECT_EQ(d.fedBytes(), stream.size());
    d.feed(snrm.data() + 4, snrm.size() - 4);
    ASSERT_TRUE(d.next());
    EXPECT_EQ(d.frameEnd(), stream.size() + snrm.size() - 4);

    // Behind a false start with a long length, a frame is found only once
    // later bytes show the false start to be noise: it ended before them.
    Deframer hidden;
    const Bytes falseStart = {0x7E, 0xA0, 0x30};
    hidden.feed(falseStart.data(), falseStart.size());
    hidden.feed(snrm.data(), snrm.size());
    EXPECT_FALSE(hidden.next());
    const Bytes later(0x30, 0x00);
    hidden.feed(later.data(), later.size());
    ASSERT_TRUE(hidden.next());
    EXPECT_EQ(hidden.frameEnd(), falseStart.size() + snrm.size());
}
