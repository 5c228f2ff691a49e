#include "reactor.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <cerrno>
#include <cstring>
#include <functional>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
#include <unordered_map>

namespace tarvik::line {

namespace {

constexpr std::uint8_t flag = 0x7E;
constexpr std::size_t header_size = 3;
// Read-ahead beyond what the reader waits for, per turn of the loop.
constexpr std::size_t read_ahead = 64 * 1024;
// A write that finds the line full looks for cancel_write this often.
constexpr auto write_poll = std::chrono::milliseconds(20);
// The loop serves sleeps that end within one byte time (at most this) of
// each other in one wake-up, at the end of the last of them.
constexpr auto most_tolerance = std::chrono::milliseconds(1);
// A loop that finds this many lines with events at once gathers the events
// of the next `gather` before it looks again: they only start the sleeps
// for the rest of their frames, which a short wait does not delay.
constexpr int busy_events = 4;
constexpr auto gather = std::chrono::milliseconds(1);
// Readers running at once, and how long a turn lasts if its reader does
// not wait again (it went on to other work). Its time starts when the
// reader has the interpreter lock again: waiting for the lock is the other
// readers' work, and a turn taken from a reader still waiting for it only
// adds another waiter (Python 3 hands the lock over after 5 ms). A reader
// that has not got going after `grant_limit` gives its turn up all the same.
// The limit is what a reader that never waits again costs the queue: the
// reader of an answer's last frame decodes it and returns, and the readers
// behind it wait out the rest of its turn. 250 us covers decoding a
// 2030-byte frame and writing the next frame (about 85 us on 2.7); a
// millisecond put most of a second behind the last of 4096 final frames.
constexpr std::size_t turns = 4;
constexpr auto turn_limit = std::chrono::microseconds(250);
constexpr auto grant_limit = std::chrono::milliseconds(50);

timespec to_timespec(Clock::duration wait) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

Wakeup::Wakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

Wakeup::~Wakeup() { close(fd_); }

bool Wakeup::wait(Deadline deadline) {
    pollfd ready{fd_, POLLIN, 0};
    timespec wait{};
    if (deadline) wait = to_timespec(std::max(Clock::duration::zero(), *deadline - Clock::now()));
    if (ppoll(&ready, 1, deadline ? &wait : nullptr, nullptr) == 0) return false;
    std::uint64_t count = 0;
    (void)!::read(fd_, &count, sizeof count);  // back to zero; EAGAIN if a signal woke us
    return true;
}

void Wakeup::notify() {
    const std::uint64_t one = 1;
    (void)!::write(fd_, &one, sizeof one);
}

// The process's event loop: one thread, one epoll instance, and the sleeps
// of the lines that wait for the rest of a frame.
class Reactor {
public:
    // The loop of this process, started on first use (and anew in a child
    // after fork, which inherits no threads).
    static Reactor& current();

    void attach(Link& link);
    void detach(Link& link);
    void arm(Link& link);
    // From the loop's own thread only.
    void sleep(Link& link, Clock::time_point until);
    // A turn for `link`'s reader, or its place in the queue for one. With
    // the link's lock held.
    bool take_turn(Link& link);
    // The reader of link `id` is done with its turn.
    void give_back(std::uint64_t id);
    // The reader of link `id` runs: its turn's time starts.
    void start_turn(std::uint64_t id);

private:
    struct Turn {
        std::uint64_t holder = 0;  // 0: free
        Clock::time_point granted{};
        Deadline started;  // when its reader had the interpreter lock again

        // When it runs out, if nobody gives it back earlier.
        Clock::time_point ends() const { return started ? *started + turn_limit : granted + grant_limit; }
        bool over(Clock::time_point now) const { return holder == 0 || ends() <= now; }
        // When the loop looks again, while readers queue, whether it is
        // over: a reader not yet running may start, and its turn end, soon.
        Clock::time_point next_look(Clock::time_point now) const {
            return started ? ends() : std::min(ends(), now + turn_limit);
        }
    };
    struct Sleep {
        Clock::time_point until, latest;
        std::uint64_t id;
        bool operator<(const Sleep& other) const { return until < other.until; }
    };

    Reactor();
    void run();
    std::shared_ptr<Link> find(std::uint64_t id);
    Deadline next_wake() const;
    // epoll_pwait2 until `wake` (nullopt: no limit), or epoll_wait where
    // the kernel lacks it; returns the number of events, or -1 (EINTR).
    int wait_for_events(std::vector<epoll_event>& events, Deadline wake);
    // Passes turn `index`, if free, to the next queued reader still waiting.
    void hand_on(std::size_t index);
    // Frees the turns that ran out while readers queue; returns when the
    // next one runs out.
    Deadline reclaim_turns();
    // Serves the lines whose sleeps have ended.
    void serve_sleeps();

    int epoll_;
    bool nanosecond_waits_ = true;
    std::mutex mutex_;  // guards links_ and next_id_
    std::unordered_map<std::uint64_t, std::shared_ptr<Link>> links_;
    std::uint64_t next_id_ = 0;
    std::multiset<Sleep> sleeps_;  // by when they end
    std::mutex turns_mutex_;  // guards turns_ and queued_
    std::vector<Turn> turns_ = std::vector<Turn>(turns);
    std::deque<std::uint64_t> queued_;
};

namespace {

std::mutex* instance_mutex = new std::mutex;
Reactor* instance = nullptr;

// The child of a fork has no loop thread: it starts its own on first use,
// leaving the parent's (and its possibly held lock) alone.
void forget_after_fork() {
    instance = nullptr;
    instance_mutex = new std::mutex;
}

}  // namespace

Reactor& Reactor::current() {
    static const bool registered = (pthread_atfork(nullptr, nullptr, forget_after_fork), true);
    (void)registered;
    std::lock_guard<std::mutex> lock(*instance_mutex);
    if (instance == nullptr) instance = new Reactor;  // lives as long as the process
    return *instance;
}

Reactor::Reactor() : epoll_(epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
    std::thread(&Reactor::run, this).detach();
}

void Reactor::attach(Link& link) {
    std::lock_guard<std::mutex> lock(mutex_);
    link.id_ = ++next_id_;
    link.reactor_ = this;
    links_[link.id_] = link.shared_from_this();
    // Registered disarmed: a reader arms it for one event at a time.
    epoll_event event{};
    event.events = EPOLLONESHOT;
    event.data.u64 = link.id_;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, link.fd_, &event) != 0) {
        links_.erase(link.id_);
        link.reactor_ = nullptr;
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
    }
}

void Reactor::detach(Link& link) {
    std::lock_guard<std::mutex> lock(mutex_);
    epoll_ctl(epoll_, EPOLL_CTL_DEL, link.fd_, nullptr);
    links_.erase(link.id_);
}

void Reactor::arm(Link& link) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    event.data.u64 = link.id_;
    if (epoll_ctl(epoll_, EPOLL_CTL_MOD, link.fd_, &event) != 0) link.error_ = errno;
}

void Reactor::sleep(Link& link, Clock::time_point until) {
    const auto tolerance = std::min<Clock::duration>(link.byte_time_, most_tolerance);
    sleeps_.insert(Sleep{until, until + tolerance, link.id_});
}

bool Reactor::take_turn(Link& link) {
    std::lock_guard<std::mutex> lock(turns_mutex_);
    if (queued_.empty()) {
        const auto now = Clock::now();
        for (auto& turn : turns_) {
            if (turn.over(now)) {
                turn = Turn{link.id_, now, std::nullopt};
                return true;
            }
        }
    }
    if (!link.queued_) {
        link.queued_ = true;
        queued_.push_back(link.id_);
    }
    return false;
}

void Reactor::give_back(std::uint64_t id) {
    std::size_t index = 0;
    {
        std::lock_guard<std::mutex> lock(turns_mutex_);
        while (index < turns_.size() && turns_[index].holder != id) ++index;
        if (index == turns_.size()) return;  // it ran out and went to another
        turns_[index].holder = 0;
    }
    hand_on(index);
}

void Reactor::hand_on(std::size_t index) {
    for (;;) {
        std::uint64_t next = 0;
        {
            std::lock_guard<std::mutex> lock(turns_mutex_);
            if (turns_[index].holder != 0 || queued_.empty()) return;
            next = queued_.front();
            queued_.pop_front();
            turns_[index] = Turn{next, Clock::now(), std::nullopt};
        }
        if (auto link = find(next)) {
            std::unique_lock<std::mutex> lock(link->mutex_);
            link->queued_ = false;
            if (!link->detached_ && link->asked_ != 0) {
                link->granted_ = true;
                lock.unlock();  // the woken reader finds the lock free
                link->changed_.notify();
                return;
            }
        }
        std::lock_guard<std::mutex> lock(turns_mutex_);  // nobody waits there any more
        if (turns_[index].holder == next) turns_[index].holder = 0;
    }
}

void Reactor::start_turn(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(turns_mutex_);
    for (auto& turn : turns_) {
        if (turn.holder == id && !turn.started) turn.started = Clock::now();
    }
}

Deadline Reactor::reclaim_turns() {
    std::vector<std::size_t> ended;
    {
        std::lock_guard<std::mutex> lock(turns_mutex_);
        const auto now = Clock::now();
        for (std::size_t i = 0; i < turns_.size(); ++i) {
            if (!queued_.empty() && turns_[i].over(now)) {
                turns_[i].holder = 0;
                ended.push_back(i);
            }
        }
    }
    for (const std::size_t index : ended) hand_on(index);
    // The turns just handed on run out too: while readers queue, the loop
    // wakes when the first turn does.
    std::lock_guard<std::mutex> lock(turns_mutex_);
    if (queued_.empty()) return std::nullopt;
    const auto now = Clock::now();
    Deadline next;
    for (const auto& turn : turns_) {
        if (turn.holder == 0) continue;
        const auto look = turn.next_look(now);
        if (!next || look < *next) next = look;
    }
    return next ? next : now;
}

std::shared_ptr<Link> Reactor::find(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = links_.find(id);
    return it == links_.end() ? nullptr : it->second;
}

Deadline Reactor::next_wake() const {
    if (sleeps_.empty()) return std::nullopt;
    // The end of the last sleep that ends within the first one's tolerance:
    // a sleep with none near it ends on time.
    const auto after_window = sleeps_.upper_bound(Sleep{sleeps_.begin()->latest, {}, 0});
    return std::prev(after_window)->until;
}

int Reactor::wait_for_events(std::vector<epoll_event>& events, Deadline wake) {
    const auto left = wake ? std::max(Clock::duration::zero(), *wake - Clock::now()) : Clock::duration::zero();
    const int room = static_cast<int>(events.size());
    if (nanosecond_waits_) {
        const timespec wait = to_timespec(left);
        const int n = epoll_pwait2(epoll_, events.data(), room, wake ? &wait : nullptr, nullptr);
        if (n >= 0 || errno != ENOSYS) return n;
        nanosecond_waits_ = false;  // before Linux 5.11, and under valgrind
    }
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return epoll_wait(epoll_, events.data(), room, wake ? static_cast<int>(milliseconds) : -1);
}

void Reactor::serve_sleeps() {
    // Every sleep that has ended, including those the wake-up came early
    // for within their tolerance.
    const auto now = Clock::now();
    while (!sleeps_.empty() && sleeps_.begin()->until <= now) {
        const Sleep ended = *sleeps_.begin();
        sleeps_.erase(sleeps_.begin());
        if (auto link = find(ended.id)) link->serve(*this, ended.until);
    }
}

void Reactor::run() {
    pthread_setname_np(pthread_self(), "tarvik-lines");
    // Sleeps end when due, not up to the default 50 us of timer slack later:
    // at 115200 baud a frame takes only a few milliseconds.
    prctl(PR_SET_TIMERSLACK, 1UL);
    std::vector<epoll_event> events(1024);
    std::vector<std::shared_ptr<Link>> ready;
    for (;;) {
        Deadline wake = next_wake();
        if (const Deadline turn_ends = reclaim_turns(); turn_ends && (!wake || *turn_ends < *wake)) wake = turn_ends;
        const int n = wait_for_events(events, wake);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (int i = 0; i < n; ++i) {
                const auto it = links_.find(events[static_cast<std::size_t>(i)].data.u64);
                if (it != links_.end()) ready.push_back(it->second);
            }
        }
        for (const auto& link : ready) link->serve(*this, std::nullopt);
        ready.clear();  // a line closed meanwhile goes, with its descriptors, now
        serve_sleeps();
        if (n >= busy_events) {
            // The next turn of the loop serves what came in the meantime.
            const auto until = Clock::now() + gather;
            const Deadline next = next_wake();
            std::this_thread::sleep_until(next && *next < until ? *next : until);
        }
    }
}

Link::Link(int fd, Clock::duration byte_time, bool empty_read_ends)
    : fd_(fd), empty_read_ends_(empty_read_ends), byte_time_(byte_time) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "fcntl");
}

Link::~Link() = default;

std::shared_ptr<Link> open_link(int fd, Clock::duration byte_time, bool empty_read_ends) {
    auto link = std::make_shared<Link>(fd, byte_time, empty_read_ends);
    Reactor::current().attach(*link);
    return link;
}

std::size_t Link::wanted(std::size_t size) {
    const std::uint8_t* at = buffer_.data() + head_;
    if (consumed_ >= frame_end_ && unread() >= header_size && at[0] == flag && (at[1] & 0xF0) == 0xA0) {
        frame_start_ = consumed_;
        frame_end_ = consumed_ + ((static_cast<std::size_t>(at[1] & 0x07) << 8) | at[2]) + 2;
    }
    if (consumed_ == frame_start_ && frame_end_ > consumed_)
        return std::max(size, static_cast<std::size_t>(frame_end_ - consumed_));
    return size;
}

std::size_t Link::drain() {
    std::size_t total = 0;
    const std::size_t limit = std::max(asked_, header_size) + read_ahead;
    while (!closed_ && error_ == 0 && unread() < limit) {
        if (head_ > 0 && head_ * 2 >= buffer_.size()) {
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
        const std::size_t room = 4096;
        const std::size_t old = buffer_.size();
        buffer_.resize(old + room);
        const ssize_t n = ::read(fd_, buffer_.data() + old, room);
        buffer_.resize(old + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (n > 0) {
            total += static_cast<std::size_t>(n);
            if (static_cast<std::size_t>(n) < room) break;  // the descriptor is empty
        } else if (n == 0) {
            closed_ = empty_read_ends_;
            break;
        } else if (errno != EINTR) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) error_ = errno;
            break;
        }
    }
    return total;
}

void Link::arm() {
    Reactor& reactor = Reactor::current();
    if (reactor_ != &reactor) reactor.attach(*this);
    reactor.arm(*this);
}

void Link::serve(Reactor& reactor, Deadline slept_until) {
    if (serve_locked(reactor, slept_until)) changed_.notify();  // the woken reader finds the lock free
}

bool Link::serve_locked(Reactor& reactor, Deadline slept_until) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (detached_) return false;
    if (slept_until) {
        if (sleeping_until_ != slept_until) return false;  // a sleep since replaced
        sleeping_until_.reset();
    }
    const std::size_t got = drain();
    if (asked_ == 0) return false;  // nobody waits: the bytes stay for the next read
    const std::size_t want = wanted(asked_);
    if (closed_ || error_ != 0) return true;
    if (unread() >= want) {
        if (!granted_) granted_ = reactor.take_turn(*this);
        return granted_;
    }
    if (got > 0 && !slept_until && byte_time_ > Clock::duration::zero()) {
        // The rest is on its way: sleep its line time instead of waking for
        // every chunk. Once that sleep is over, the bytes still missing are
        // late and may come in one chunk at any moment (a driver or gateway
        // that hands them over in blocks): the loop then waits for them.
        sleeping_until_ = Clock::now() + byte_time_ * static_cast<long>(want - unread());
        reactor.sleep(*this, *sleeping_until_);
    } else {
        arm();
    }
    return false;
}

Outcome Link::read(std::size_t size, Deadline deadline, std::string& out, int& error) {
    std::unique_lock<std::mutex> lock(mutex_);
    Outcome outcome = Outcome::Done;
    bool asked = false;
    for (;;) {
        if (detached_) {
            outcome = Outcome::Failed;
            error = EBADF;
            break;
        }
        if (unread() >= wanted(size)) break;
        if (read_cancelled_) {
            read_cancelled_ = false;
            outcome = Outcome::Cancelled;
            break;
        }
        if (closed_ || error_ != 0) break;
        if (!asked) {
            // What is there already may be all it takes.
            asked = true;
            asked_ = size;
            drain();
            if (unread() < wanted(size) && !closed_ && error_ == 0 && !(deadline && *deadline <= Clock::now()))
                arm();
            continue;
        }
        if (holds_turn_) {
            lock.unlock();
            release_turn();
            lock.lock();
            continue;
        }
        lock.unlock();
        const bool notified = changed_.wait(deadline);
        lock.lock();
        if (!notified) {
            outcome = unread() >= size ? Outcome::Done : Outcome::TimedOut;
            break;
        }
    }
    asked_ = 0;
    const std::size_t count = take(size, out);
    if (count < size && outcome == Outcome::Done) {
        // Bytes that arrived before the end are handed out first; the end
        // is reported to the read that finds nothing.
        if (count == 0 && error_ != 0) {
            error = std::exchange(error_, 0);
            outcome = Outcome::Failed;
        } else if (closed_) {
            outcome = count == 0 ? Outcome::Closed : Outcome::TimedOut;
        } else {
            outcome = Outcome::TimedOut;
        }
    }
    return outcome;
}

bool Link::read_ready(std::size_t size, std::string& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (detached_ || size == 0 || unread() < wanted(size)) return false;
    take(size, out);
    return true;
}

std::size_t Link::take(std::size_t size, std::string& out) {
    if (granted_) {
        granted_ = false;
        holds_turn_ = true;
    }
    const std::size_t count = std::min(size, unread());
    out.assign(reinterpret_cast<const char*>(buffer_.data() + head_), count);
    head_ += count;
    consumed_ += count;
    if (head_ == buffer_.size()) buffer_.clear(), head_ = 0;
    return count;
}

Outcome Link::write_now(const char* data, std::size_t size, std::size_t& written, int& error) {
    while (written < size) {
        const ssize_t n = ::write(fd_, data + written, size - written);
        if (n >= 0) {
            written += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return Outcome::TimedOut;
        } else if (errno != EINTR) {
            error = errno;
            return Outcome::Failed;
        }
    }
    return Outcome::Done;
}

Outcome Link::write(const char* data, std::size_t size, Deadline deadline, std::size_t& written, int& error) {
    for (;;) {
        const auto now = Clock::now();
        if (deadline && *deadline <= now) return Outcome::TimedOut;
        if (write_cancelled_.exchange(false)) return Outcome::Cancelled;
        auto slice = std::chrono::duration_cast<std::chrono::milliseconds>(write_poll);
        if (deadline) slice = std::min(slice, std::chrono::ceil<std::chrono::milliseconds>(*deadline - now));
        pollfd room{fd_, POLLOUT, 0};
        if (poll(&room, 1, static_cast<int>(slice.count())) == 0) continue;
        const Outcome outcome = write_now(data, size, written, error);
        if (outcome != Outcome::TimedOut) return outcome;
    }
}

void Link::running() {
    bool held = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held = holds_turn_;
    }
    if (held) reactor_->start_turn(id_);
}

void Link::release_turn() {
    bool held = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held = std::exchange(holds_turn_, false);
    }
    if (held) reactor_->give_back(id_);
}

void Link::cancel_read() {
    std::lock_guard<std::mutex> lock(mutex_);
    read_cancelled_ = true;
    changed_.notify();
}

void Link::cancel_write() { write_cancelled_ = true; }

std::size_t Link::buffered() {
    std::lock_guard<std::mutex> lock(mutex_);
    return unread();
}

void Link::discard() {
    std::lock_guard<std::mutex> lock(mutex_);
    consumed_ += unread();
    frame_start_ = frame_end_ = consumed_;
    buffer_.clear();
    head_ = 0;
}

void Link::set_byte_time(Clock::duration byte_time) {
    std::lock_guard<std::mutex> lock(mutex_);
    byte_time_ = byte_time;
}

void Link::detach() {
    Reactor* reactor = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (detached_) return;
        detached_ = true;
        reactor = reactor_;
        changed_.notify();
    }
    if (reactor != nullptr) {
        reactor->give_back(id_);
        reactor->detach(*this);
    }
}

}  // namespace tarvik::line
