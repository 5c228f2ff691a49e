#include "endpoint.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

namespace metersim {

namespace {

// With no byte for this long, a started frame is given up, as a meter's
// inter-character time-out would.
constexpr auto kIdle = std::chrono::milliseconds(500);
// Gives up on output when the line has not taken a byte for this long:
// nobody is reading, and a meter does not wait for ever either.
constexpr auto kWriteStallLimit = std::chrono::seconds(5);
// Reading stops while what was read would still be arriving this much
// later, so that a client writing faster than the line waits, as on a
// serial port, instead of piling bytes up here.
constexpr auto kReadAhead = std::chrono::seconds(1);
// Reading stops while this much output waits, so that a client that writes
// and never reads (on an unpaced line with echo, say) cannot make the
// simulator hold its backlog.
constexpr std::size_t kMaxQueued = 64 * 1024;
// A device that hung up is read again after this long.
constexpr auto kHangUpRetry = std::chrono::milliseconds(100);
// Exit: bytes written to a pty master reach the slave's queue
// asynchronously, so the first look is a little later; then the client gets
// this long to read the last answer.
constexpr auto kDrainFirstCheck = std::chrono::milliseconds(50);
constexpr auto kDrainCheck = std::chrono::milliseconds(10);
constexpr auto kDrainLimit = std::chrono::seconds(2);

constexpr unsigned kSignOnBaud = 300;
constexpr std::uint8_t kSevenBits = 0x7F;

void earliest(std::optional<TimePoint>& result, std::optional<TimePoint> candidate) {
    if (candidate && (!result || *candidate < *result)) result = candidate;
}

}  // namespace

Endpoint::Endpoint(std::unique_ptr<Line> line, const Options& options, std::string name)
    : line_(std::move(line)),
      options_(options),
      name_(std::move(name)),
      receiver_(options.baud),
      transmitter_(std::chrono::milliseconds(options.chunkMs)) {
    if (options.bus.empty()) {
        meters_.push_back(Meter{Server(options.server, Application(options.answer)), FaultInjector(options.faults)});
    } else {
        for (const std::uint32_t lower : options.bus) {
            ServerConfig config = options.server;
            config.address.lower = lower;
            meters_.push_back(Meter{Server(config, Application(options.answer)), FaultInjector(options.faults)});
        }
    }
    for (Meter& meter : meters_) {
        const std::string prefix =
            options.bus.empty() ? "   " : "   meter " + std::to_string(meter.server.address().lower) + ": ";
        if (options.verbose) meter.server.setLogger([this, prefix](const std::string& s) { log(prefix + s); });
        meter.server.setAlert([this](const std::string& s) { alert(s); });
    }
    if (options.modeE) {
        signOn_.emplace(*options.modeE);
        setRate(kSignOnBaud, true);
    }
}

void Endpoint::log(const std::string& text) const {
    if (options_.verbose) std::cerr << name_ << text << '\n';
}

void Endpoint::alert(const std::string& text) const {
    std::cerr << "meter_simulator: " << name_ << line_->clientPath() << ": " << text << '\n';
}

void Endpoint::logSummary() const {
    log("frames received " + std::to_string(stats_.received) + ", bad " + std::to_string(stats_.bad) +
        ", foreign " + std::to_string(stats_.foreign) + ", answered " + std::to_string(stats_.answered) +
        ", dropped " + std::to_string(stats_.dropped) + ", bytes skipped " +
        std::to_string(deframer_.skippedBytes()));
}

short Endpoint::events(TimePoint now) const {
    if (state_ == State::Done || state_ == State::Closed) return 0;
    short wanted = 0;
    if (state_ == State::Serving && !hungUpUntil_ && receiver_.lastArrival() - now <= kReadAhead &&
        transmitter_.queued() < kMaxQueued)
        wanted |= POLLIN;
    if (waitingForRoom_) wanted |= POLLOUT;
    return wanted;
}

void Endpoint::onEvents(short revents, TimePoint now) {
    if (revents & POLLOUT) waitingForRoom_ = false;
    if (state_ == State::Serving && (revents & (POLLIN | POLLHUP | POLLERR))) readLine(now);
}

std::optional<TimePoint> Endpoint::deadline(TimePoint now) const {
    if (state_ == State::Done || state_ == State::Closed) return std::nullopt;
    std::optional<TimePoint> next;
    if (!arrivals_.empty()) earliest(next, arrivals_.front().at);
    if (waitingForRoom_)
        earliest(next, *stalledSince_ + kWriteStallLimit);
    else
        earliest(next, transmitter_.due());
    if (deframer_.hasPartial()) earliest(next, receiver_.lastArrival() + kIdle);
    if (receiver_.lastArrival() - now > kReadAhead) earliest(next, receiver_.lastArrival() - kReadAhead);
    earliest(next, hungUpUntil_);
    earliest(next, nextDrainCheck_);
    return next;
}

void Endpoint::readLine(TimePoint now) {
    std::uint8_t buffer[4096];
    const IoResult r = line_->read(buffer, sizeof buffer);
    if (r.status == IoStatus::Gone) {
        log("   connection closed or reset by the client");
        state_ = State::Closed;
        return;
    }
    if (r.status == IoStatus::HungUp) hungUpUntil_ = now + kHangUpRetry;
    if (r.status != IoStatus::Ok) return;

    std::size_t i = 0;
    for (; i < r.bytes && signOn_ && !signOn_->switched(); ++i) signOnByte(buffer[i], now);
    if (i < r.bytes) hdlcBytes(buffer + i, r.bytes - i, now);
}

void Endpoint::signOnByte(std::uint8_t byte, TimePoint now) {
    const TimePoint start = receiver_.take(1, now);
    if (options_.echo) transmitter_.queue({byte}, receiver_.baud(), start);
    if (ackEarliest_ && !ackStart_) ackStart_ = start;
    switch (signOn_->take(byte & kSevenBits)) {
    case SignOn::Action::None: break;
    case SignOn::Action::Identify: identify(receiver_.arrival(start, 1)); break;
    case SignOn::Action::Switch:
        if (!acknowledgedInTime()) break;
        log("   acknowledgement " + signOn_->line() + ": HDLC at " + std::to_string(signOn_->baud()) + " baud");
        setRate(signOn_->baud(), false);
        break;
    case SignOn::Action::Ignored: log("   sign-on ignored: " + signOn_->line()); break;
    case SignOn::Action::Rejected:
        ackEarliest_.reset();
        log("   wrong acknowledgement, waiting for a sign-on: " + signOn_->line());
        break;
    }
}

// The identification goes out after the meter's reaction time; the client's
// acknowledgement may start once the client's own reaction time has passed
// after it.
void Endpoint::identify(TimePoint signOnEnd) {
    const SignOnConfig& config = *options_.modeE;
    std::uniform_int_distribution<unsigned> reaction(config.reactionMinMs, config.reactionMaxMs);
    const unsigned reactionMs = reaction(reactionTimes_);
    const TimePoint begin = signOnEnd + std::chrono::milliseconds(reactionMs);
    const Bytes& identification = signOn_->identification();
    transmitter_.queue(identification, receiver_.baud(), begin);
    ackEarliest_ = begin + lineTime(identification.size(), receiver_.baud()) +
                   std::chrono::milliseconds(clientReactionMs(config.identification));
    ackStart_.reset();
    log("   sign-on " + signOn_->line() + " answered after " + std::to_string(reactionMs) + " ms");
}

bool Endpoint::acknowledgedInTime() {
    const TimePoint earliest = *ackEarliest_;
    const TimePoint started = ackStart_.value_or(earliest);
    ackEarliest_.reset();
    if (started >= earliest) return true;
    const auto early = std::chrono::duration_cast<std::chrono::milliseconds>(earliest - started).count();
    log("   acknowledgement " + signOn_->line() + " missed: it started " + std::to_string(early) +
        " ms before the reaction time was over; waiting for a sign-on");
    signOn_->reset();
    return false;
}

void Endpoint::hdlcBytes(const std::uint8_t* data, std::size_t size, TimePoint now) {
    const TimePoint start = receiver_.take(size, now);
    if (options_.echo) transmitter_.queue(Bytes(data, data + size), receiver_.baud(), start);
    const std::uint64_t before = deframer_.fedBytes();
    deframer_.feed(data, size);
    while (auto frame = deframer_.next()) {
        // A frame can also end in older bytes, found only now that the new
        // ones showed a false start in front of it to be noise.
        const std::uint64_t end = deframer_.frameEnd();
        arrivals_.push_back({std::move(*frame), end > before ? receiver_.arrival(start, end - before) : start});
    }
}

void Endpoint::service(TimePoint now) {
    if (state_ == State::Done || state_ == State::Closed) return;
    if (hungUpUntil_ && now >= *hungUpUntil_) hungUpUntil_.reset();
    if (deframer_.hasPartial() && now >= receiver_.lastArrival() + kIdle) dropIdlePartial(now);
    while (state_ == State::Serving && !arrivals_.empty() && arrivals_.front().at <= now) {
        const Arrival next = std::move(arrivals_.front());
        arrivals_.pop_front();
        handleFrame(next.frame, next.at);
    }
    writeDue(now);
    if (pendingFormat_ && transmitter_.idle()) {
        const auto [baud, sevenEven] = *pendingFormat_;
        pendingFormat_.reset();
        // A pty pair carries no parity, and some kernels refuse 7E1 on it:
        // the pacing follows the rate all the same.
        if (!line_->setCharacterFormat(baud, sevenEven))
            std::cerr << "meter_simulator: " << name_ << line_->clientPath() << ": " << baud
                      << (sevenEven ? " baud 7E1" : " baud 8N1") << " refused: " << std::strerror(errno) << '\n';
    }
    if (state_ == State::Draining) drain(now);
}

// The line went quiet in the middle of a frame: it is given up, and so is
// every other candidate that will now never complete. Whole frames found
// behind a false start (a stray flag, a length that swallowed them) are kept.
void Endpoint::dropIdlePartial(TimePoint now) {
    log("   incomplete frame dropped after idle line");
    while (deframer_.hasPartial()) {
        deframer_.dropPartial();
        while (auto frame = deframer_.next()) arrivals_.push_back({std::move(*frame), now});
    }
}

void Endpoint::handleFrame(const Bytes& raw, TimePoint arrival) {
    if (options_.verbose) log("<< " + toHex(raw));
    Frame frame;
    if (const DecodeError e = decode(raw, frame); e != DecodeError::None) {
        ++stats_.bad;
        log(std::string("   ignored: ") + toString(e));
        return;
    }
    Meter* meter = meterFor(frame);
    if (!meter) {
        ++stats_.foreign;
        log("   ignored: not addressed to this meter");
        return;
    }
    ++stats_.received;
    expireIdleLink(*meter, arrival);
    meter->lastFrame = arrival;
    sessions_.observe(frame, meter->server.connected(), meter->server.receiveCount());
    if (auto response = meter->server.handle(frame)) answer(*meter, *response, arrival);
    if (signOn_ && frame.kind == FrameKind::DISC) backToSignOn();
    if (options_.exitAfter != 0 && stats_.received >= options_.exitAfter) {
        state_ = State::Draining;
        arrivals_.clear();
    }
}

Endpoint::Meter* Endpoint::meterFor(const Frame& frame) {
    for (Meter& meter : meters_)
        if (meter.server.isForMe(frame)) return &meter;
    return nullptr;
}

// The inactivity time-out is looked at when the next frame arrives: until
// then nobody can tell whether the link is still up.
void Endpoint::expireIdleLink(Meter& meter, TimePoint arrival) {
    if (options_.inactivityS == 0 || !meter.server.connected()) return;
    if (arrival - meter.lastFrame < std::chrono::seconds(options_.inactivityS)) return;
    log("   link dropped after " + std::to_string(options_.inactivityS) + " s without a frame");
    meter.server.dropLink();
}

void Endpoint::answer(Meter& meter, const Frame& response, TimePoint notBefore) {
    const auto tx = meter.faults.apply(response);
    if (!tx) {
        ++stats_.dropped;
        log(std::string("   ") + toString(response.kind) + " answer dropped");
        return;
    }
    if (tx->dropsLink) {
        log("   DM sent: link dropped");
        meter.server.dropLink();
    }
    if (tx->delayMs) log("   answer delayed by " + std::to_string(tx->delayMs) + " ms");
    if (options_.verbose) log(">> " + toHex(tx->bytes));
    transmitter_.queue(tx->bytes, receiver_.baud(), notBefore + std::chrono::milliseconds(tx->delayMs));
    ++stats_.answered;
}

// After the link is closed, an optical port returns to the mode E opening.
// What the client sent after the DISC was sent at the old rate: noise.
void Endpoint::backToSignOn() {
    log("   link closed: waiting for a sign-on at 300 baud");
    signOn_->reset();
    arrivals_.clear();
    deframer_.dropPartial();
    setRate(kSignOnBaud, true);
}

void Endpoint::setRate(unsigned baud, bool sevenEven) {
    receiver_.setBaud(baud);
    if (line_->kind() == Line::Kind::Device) pendingFormat_ = std::make_pair(baud, sevenEven);
}

void Endpoint::writeDue(TimePoint now) {
    if (waitingForRoom_) {
        if (now - *stalledSince_ < kWriteStallLimit) return;
        cutOff("nobody read the line for " + std::to_string(kWriteStallLimit.count()) + " s");
        return;
    }
    for (auto ready = transmitter_.ready(now); ready.second > 0; ready = transmitter_.ready(now)) {
        const IoResult r = line_->write(ready.first, ready.second);
        if (r.status == IoStatus::Ok) {
            transmitter_.wrote(r.bytes);
            stalledSince_.reset();
            continue;
        }
        if (r.status == IoStatus::Again) {
            waitingForRoom_ = true;
            if (!stalledSince_) stalledSince_ = now;
        } else if (r.status == IoStatus::Gone) {
            log("   connection lost while writing");
            state_ = State::Closed;
        } else {
            log("   write failed: the line hung up");
            transmitter_.clear();
        }
        return;
    }
}

// A client that does not read is cut off: what waits for it is dropped, in
// the simulator and in the line's queues, and a TCP session ends.
void Endpoint::cutOff(const std::string& why) {
    alert("client cut off, " + why + "; " + std::to_string(transmitter_.queued()) + " bytes dropped");
    transmitter_.clear();
    line_->discardQueued();
    waitingForRoom_ = false;
    stalledSince_.reset();
    if (line_->kind() == Line::Kind::Socket) state_ = State::Closed;
}

void Endpoint::drain(TimePoint now) {
    if (!transmitter_.idle() && !waitingForRoom_) return;
    if (!nextDrainCheck_) {
        nextDrainCheck_ = now + kDrainFirstCheck;
        drainUntil_ = now + kDrainLimit;
        return;
    }
    if (now < *nextDrainCheck_) return;
    if (line_->unread() == 0 || now >= drainUntil_) {
        state_ = State::Done;
        nextDrainCheck_.reset();
        return;
    }
    nextDrainCheck_ = now + kDrainCheck;
}

}  // namespace metersim
