#include "loop.h"

#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <iostream>
#include <system_error>

namespace metersim {

namespace {

volatile std::sig_atomic_t stopRequested = 0;
int wakePipe[2] = {-1, -1};
char wakeTag, listenerTag;  // epoll tags of the two descriptors that are no line

void onSignal(int) {
    stopRequested = 1;
    const char c = 0;
    [[maybe_unused]] const ssize_t n = ::write(wakePipe[1], &c, 1);
}

void installSignals() {
    if (wakePipe[0] >= 0) return;
    if (pipe(wakePipe) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// How long the listener rests when no descriptor is left for a connection.
constexpr auto kListenerPause = std::chrono::milliseconds(100);

timespec toTimespec(std::chrono::nanoseconds wait) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
    ts.tv_nsec = static_cast<long>(wait.count() % 1000000000);
    return ts;
}

}  // namespace

EventLoop::EventLoop(const Options& options) : options_(options), gateway_(options.gatewayLimit) {
    installSignals();
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
    watch(wakePipe[0], EPOLLIN, &wakeTag);
}

EventLoop::~EventLoop() {
    slots_.clear();
    close(epoll_);
}

void EventLoop::watch(int fd, std::uint32_t events, void* tag) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = tag;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0)
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
}

void EventLoop::add(std::unique_ptr<Line> line, std::string name) {
    auto slot = std::make_unique<Slot>();
    slot->endpoint = std::make_unique<Endpoint>(std::move(line), options_, std::move(name));
    slots_.push_back(std::move(slot));
}

void EventLoop::listen(std::unique_ptr<Listener> listener) {
    listener_ = std::move(listener);
    watch(listener_->fd(), EPOLLIN, &listenerTag);
}

// Out of descriptors, the listener stays readable with the connection in its
// backlog; it is left alone for a while rather than asked again at once.
void EventLoop::accept(TimePoint now) {
    while (auto line = listener_->accept()) {
        // Connections that closed in the same wake-up are not yet reaped.
        gateway_.accepted(static_cast<std::size_t>(std::count_if(
            slots_.begin(), slots_.end(), [](const auto& s) { return !s->endpoint->closed(); })));
        const std::string name = "[tcp " + std::to_string(++sessions_) + "] ";
        if (options_.verbose) std::cerr << name << "   session from " << line->clientPath() << '\n';
        add(std::move(line), name);
        reportedOutOfDescriptors_ = false;
    }
    if (!listener_->outOfDescriptors()) return;
    if (!reportedOutOfDescriptors_)
        std::cerr << "meter_simulator: out of descriptors after " << slots_.size()
                  << " sessions: new connections wait until one ends\n";
    reportedOutOfDescriptors_ = true;
    listenerResumes_ = now + kListenerPause;
    watchListener(0);
}

void EventLoop::watchListener(std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = &listenerTag;
    if (epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_->fd(), &event) != 0)
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
}

// Services an endpoint and brings its deadline and what epoll watches up to date.
void EventLoop::service(Slot& slot, TimePoint now) {
    Endpoint& e = *slot.endpoint;
    e.service(now);
    slot.deadline = e.deadline(now);
    slot.touched = false;
    const std::uint32_t wanted = static_cast<std::uint16_t>(e.events(now));
    if (wanted == slot.registered) return;
    epoll_event event{};
    event.events = wanted;
    event.data.ptr = &slot;
    const int op = slot.registered == 0 ? EPOLL_CTL_ADD : wanted == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    if (epoll_ctl(epoll_, op, e.line().fd(), &event) != 0)
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
    slot.registered = wanted;
}

// Closed sessions end here; their meter state goes with them.
void EventLoop::reap() {
    for (auto it = slots_.begin(); it != slots_.end();) {
        const Endpoint& e = *(*it)->endpoint;
        if (!e.closed() && !(listener_ && e.done())) {
            ++it;
            continue;
        }
        if (e.done()) sessionDone_ = true;
        e.logSummary();
        if ((*it)->registered != 0) epoll_ctl(epoll_, EPOLL_CTL_DEL, e.line().fd(), nullptr);
        it = slots_.erase(it);
    }
}

bool EventLoop::finished() const {
    if (options_.exitAfter == 0) return false;
    if (listener_) return sessionDone_;
    return std::all_of(slots_.begin(), slots_.end(), [](const auto& s) { return s->endpoint->done(); });
}

std::chrono::nanoseconds EventLoop::timeout(TimePoint now) const {
    std::optional<TimePoint> next = listenerResumes_;
    for (const auto& slot : slots_)
        if (slot->deadline && (!next || *slot->deadline < *next)) next = slot->deadline;
    if (!next) return std::chrono::nanoseconds(-1);
    return std::max(std::chrono::nanoseconds::zero(), std::chrono::duration_cast<std::chrono::nanoseconds>(*next - now));
}

void EventLoop::run() {
    std::vector<epoll_event> events;
    while (stopRequested == 0) {
        TimePoint now = Clock::now();
        bool closing = false;
        for (auto& slot : slots_) {
            if (slot->touched || (slot->deadline && *slot->deadline <= now)) service(*slot, now);
            closing = closing || slot->endpoint->closed() || slot->endpoint->done();
        }
        if (closing) reap();
        if (finished()) break;
        if (listenerResumes_ && *listenerResumes_ <= now) {
            listenerResumes_.reset();
            watchListener(EPOLLIN);
        }

        events.resize(slots_.size() + 2);
        const auto wait = timeout(now);
        const timespec ts = toTimespec(wait);
        const int n = epoll_pwait2(epoll_, events.data(), static_cast<int>(events.size()),
                                   wait.count() < 0 ? nullptr : &ts, nullptr);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "epoll_pwait2");
        }
        now = Clock::now();
        for (int i = 0; i < n; ++i) {
            void* tag = events[static_cast<std::size_t>(i)].data.ptr;
            if (tag == &wakeTag) continue;
            if (tag == &listenerTag) {
                accept(now);
                continue;
            }
            auto& slot = *static_cast<Slot*>(tag);
            slot.endpoint->onEvents(static_cast<short>(events[static_cast<std::size_t>(i)].events), now);
            slot.touched = true;
        }
    }
    for (const auto& slot : slots_) slot->endpoint->logSummary();
    if (options_.countSessions) printSessions();
}

void EventLoop::printSessions() const {
    auto print = [](const std::string& line, const SessionCount& c) {
        std::cout << "SESSIONS " << line << ' ' << c.sessions << " OVERLAPPING " << c.overlapping << '\n';
    };
    if (listener_) {
        print("tcp", gateway_.count());
    } else {
        for (const auto& slot : slots_) print(slot->endpoint->line().clientPath(), slot->endpoint->sessions());
    }
    std::cout << std::flush;
}

}  // namespace metersim
