// One simulated meter on one line: everything the meter keeps for itself
// (HDLC server, fault counters, deframer, the mode E opening, the pacing of
// both directions, and its timers), driven by the event loop without ever
// sleeping or blocking. With --bus, several meters share the line: each has
// its own server, fault counters and inactivity clock, and the line's
// deframer and pacing are common to them.
//
// What the client writes is read at once, but acted on only when it would
// have arrived at the line rate: a frame is handed to the server once its
// last byte has arrived, and its answer starts no earlier. With echo, each
// received byte goes back out as it arrives, ahead of the answer.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "cli.h"
#include "faults.h"
#include "hdlc_codec.h"
#include "line.h"
#include "pacing.h"
#include "server.h"
#include "session_count.h"
#include "sign_on.h"

namespace metersim {

class Endpoint {
public:
    // `name` prefixes every log line ("" for a lone line).
    Endpoint(std::unique_ptr<Line> line, const Options& options, std::string name);

    const Line& line() const { return *line_; }
    // The poll(2) events wanted now (0: none).
    short events(TimePoint now) const;
    // Takes the events poll(2) reported for the line.
    void onEvents(short revents, TimePoint now);
    // Does what is due at `now`: hands arrived frames to the server, writes
    // paced output, gives up on a stalled write or an idle partial frame.
    void service(TimePoint now);
    // When service() has something to do next; nullopt when only the line
    // can bring work.
    std::optional<TimePoint> deadline(TimePoint now) const;

    // --exit-after was reached and the last answer has been read (or the
    // client did not read it in time).
    bool done() const { return state_ == State::Done; }
    // The connection is gone (TCP only; a tty waits for its client to return).
    bool closed() const { return state_ == State::Closed; }
    // With --verbose: the counters, on one line.
    void logSummary() const;
    // The sessions the line carried, and those that overlapped.
    const SessionCount& sessions() const { return sessions_.count(); }

private:
    enum class State { Serving, Draining, Done, Closed };
    struct Arrival {
        Bytes frame;
        TimePoint at;
    };
    // One meter's own state on the line.
    struct Meter {
        Server server;
        FaultInjector faults;
        TimePoint lastFrame{};  // when a frame for it last arrived
    };
    struct Stats {
        unsigned long received = 0, bad = 0, foreign = 0, answered = 0, dropped = 0;
    };

    void readLine(TimePoint now);
    void signOnByte(std::uint8_t byte, TimePoint now);
    void identify(TimePoint signOnEnd);
    bool acknowledgedInTime();
    void cutOff(const std::string& why);
    void hdlcBytes(const std::uint8_t* data, std::size_t size, TimePoint now);
    void dropIdlePartial(TimePoint now);
    void handleFrame(const Bytes& raw, TimePoint arrival);
    Meter* meterFor(const Frame& frame);
    void expireIdleLink(Meter& meter, TimePoint arrival);
    void answer(Meter& meter, const Frame& frame, TimePoint notBefore);
    void backToSignOn();
    void setRate(unsigned baud, bool sevenEven);
    void writeDue(TimePoint now);
    void drain(TimePoint now);
    void log(const std::string& text) const;
    // Always on stderr: what the meter does to a client that wears it down.
    void alert(const std::string& text) const;

    std::unique_ptr<Line> line_;
    const Options& options_;
    std::string name_;

    std::vector<Meter> meters_;
    Deframer deframer_;
    std::optional<SignOn> signOn_;
    Receiver receiver_;
    Transmitter transmitter_;
    std::deque<Arrival> arrivals_;  // frames read, not yet arrived

    State state_ = State::Serving;
    bool waitingForRoom_ = false;            // a write waits for POLLOUT
    std::optional<TimePoint> stalledSince_;  // no byte taken by the line since
    std::optional<TimePoint> hungUpUntil_;   // a device without its other end
    std::optional<TimePoint> nextDrainCheck_;
    TimePoint drainUntil_{};
    std::optional<std::pair<unsigned, bool>> pendingFormat_;  // device rate to set once output is out
    std::minstd_rand reactionTimes_;
    std::optional<TimePoint> ackEarliest_;  // an ACK may start from then on
    std::optional<TimePoint> ackStart_;     // when the line after the identification started
    Stats stats_;
    SessionCounter sessions_;
};

}  // namespace metersim
