// The waiting behind the fast lines: one event loop (epoll) per process
// serves every line, so that a thread reading a line sleeps once per frame
// and the descriptors of all lines cost one wake-up of the loop between
// them.
//
// A reader asks its line for `size` bytes. When the unread bytes begin with
// an HDLC frame header (flag 7E, then a frame format field of type 0xA), it
// waits for the whole frame as the length field gives it, so that the read
// of the rest of the frame that follows is served from the buffer. While it
// waits, the loop watches the descriptor until bytes arrive, then sleeps the
// line time of the bytes still missing and reads them in one go. A loop
// that finds many lines with new bytes at once gathers the next
// millisecond's before it looks again: the first bytes of a frame only
// start the sleep for its rest, which the short wait does not delay.
//
// Threads whose frames are complete run in turns: the loop wakes at most
// `turns` readers at a time and the next one when a reader gives its turn
// back by waiting again (or 250 microseconds after it has the interpreter lock
// again), so that the woken threads find the lock free instead of queueing
// for it.
//
// Nothing here knows the interpreter: the Python type in module.cpp calls
// these with the interpreter lock released.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tarvik::line {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;  // nullopt: no time-out

class Reactor;

// What a reader sleeps on until the loop has news for it: an eventfd of its
// own rather than a condition variable. Every thread blocked in a futex
// lengthens the kernel's shared futex hash chains, which every futex
// wake-up in the process walks (the interpreter lock's among them): with
// thousands of readers asleep each wake-up cost tens of microseconds. A
// descriptor's waiter is woken directly, however many others sleep.
//
// A notify() before the wait is kept, so that nothing is lost between the
// reader's last look under its lock and its wait; a wait may also return
// for a notify() it no longer needed, as a condition variable's may.
class Wakeup {
public:
    Wakeup();
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    // Until notified (true) or until `deadline` (false); a signal ends it
    // early, as a notification would.
    bool wait(Deadline deadline);
    void notify();

private:
    const int fd_;
};

// How a read or write ended, beside the bytes it moved.
enum class Outcome {
    Done,       // all that was asked for
    TimedOut,   // the time-out expired first
    Cancelled,  // cancel_read/cancel_write
    Closed,     // the peer closed the line and nothing is left to read
    Failed,     // the system refused; see `error`
};

// One line: its descriptor, the bytes read ahead, and the reader waiting.
// Shared by the Python object and the event loop.
class Link : public std::enable_shared_from_this<Link> {
public:
    // `byte_time`: the line time of one byte; zero wakes on every chunk.
    // `empty_read_ends`: a read of no bytes means the other end closed
    // (sockets), not that nothing is there (ttys set to return at once).
    Link(int fd, Clock::duration byte_time, bool empty_read_ends);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Up to `size` bytes into `out`: `size` unless the outcome says why not.
    Outcome read(std::size_t size, Deadline deadline, std::string& out, int& error);
    // What read() would hand out at once, without waiting or asking the
    // descriptor: true, with the bytes in `out`, when all that read() waits
    // for (the whole frame, after a header) is read ahead already.
    bool read_ready(std::size_t size, std::string& out);
    // Writes what the line takes at once of `data` after the `written`
    // bytes already written: Done when all is, TimedOut when the line is
    // full (write() then waits for room), or Failed.
    Outcome write_now(const char* data, std::size_t size, std::size_t& written, int& error);
    // Once write_now() found the line full: waits for room and writes the
    // rest until `deadline`; `written` counts what the line took.
    Outcome write(const char* data, std::size_t size, Deadline deadline, std::size_t& written, int& error);

    // The reader has the interpreter lock again after read(): the time of
    // the turn it may hold starts.
    void running();
    void cancel_read();
    void cancel_write();
    // Bytes read ahead and not yet handed out.
    std::size_t buffered();
    // Drops the bytes read ahead (reset_input_buffer).
    void discard();
    // Stops every use of the descriptor; the owner closes it afterwards.
    void detach();
    void set_byte_time(Clock::duration byte_time);

private:
    friend class Reactor;

    std::size_t unread() const { return buffer_.size() - head_; }
    std::size_t wanted(std::size_t size);
    // Hands out up to `size` read-ahead bytes; under the lock.
    std::size_t take(std::size_t size, std::string& out);
    // Reads what the descriptor holds; returns the number of bytes.
    std::size_t drain();
    // The event loop's turn: bytes arrived, or a sleep ended.
    // `slept_until` names the sleep that ended, or nullopt for an event.
    void serve(Reactor& reactor, Deadline slept_until);
    // serve()'s work under the lock; true when the reader is to be woken.
    bool serve_locked(Reactor& reactor, Deadline slept_until);
    void arm();
    // The reader is done with its turn: about to wait, or writing the
    // request that its next wait is for.
    void release_turn();

    const int fd_;
    const bool empty_read_ends_;
    std::uint64_t id_ = 0;
    std::mutex mutex_;
    Wakeup changed_;
    Clock::duration byte_time_;
    std::vector<std::uint8_t> buffer_;
    std::size_t head_ = 0;
    // Stream positions (bytes handed out so far, and where the frame whose
    // header was seen ends) that tell a frame's start from its middle.
    std::uint64_t consumed_ = 0;
    std::uint64_t frame_start_ = 0;
    std::uint64_t frame_end_ = 0;
    std::size_t asked_ = 0;  // the size the waiting reader asked for; 0: none
    Deadline sleeping_until_;  // the loop's planned read of the missing bytes
    bool granted_ = false;      // the loop gave the waiting reader a turn
    bool holds_turn_ = false;   // the reader runs in that turn
    bool queued_ = false;       // waiting for a turn
    bool read_cancelled_ = false;
    std::atomic<bool> write_cancelled_{false};
    bool detached_ = false;
    bool closed_ = false;  // end of file seen
    int error_ = 0;        // errno of a failed read
    Reactor* reactor_ = nullptr;
};

// Creates the line's share of the loop; the loop starts with the first line
// (and again in a child after fork).
std::shared_ptr<Link> open_link(int fd, Clock::duration byte_time, bool empty_read_ends);

}  // namespace tarvik::line
