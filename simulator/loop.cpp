#include "loop.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <iostream>
#include <stdexcept>

namespace metersim {

namespace {

volatile std::sig_atomic_t stopRequested = 0;
int wakePipe[2] = {-1, -1};

void onSignal(int) {
    stopRequested = 1;
    const char c = 0;
    [[maybe_unused]] const ssize_t n = ::write(wakePipe[1], &c, 1);
}

void installSignals() {
    if (wakePipe[0] >= 0) return;
    if (pipe(wakePipe) != 0) throw std::runtime_error("pipe failed");
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

EventLoop::EventLoop(const Options& options) : options_(options) { installSignals(); }

void EventLoop::add(std::unique_ptr<Line> line, std::string name) {
    endpoints_.push_back(std::make_unique<Endpoint>(std::move(line), options_, std::move(name)));
}

void EventLoop::listen(std::unique_ptr<Listener> listener) { listener_ = std::move(listener); }

void EventLoop::accept() {
    while (auto line = listener_->accept()) {
        const std::string name = "[tcp " + std::to_string(++sessions_) + "] ";
        if (options_.verbose) std::cerr << name << "   session from " << line->clientPath() << '\n';
        add(std::move(line), name);
    }
}

bool EventLoop::finished() const {
    if (options_.exitAfter == 0) return false;
    if (listener_) return sessionDone_;
    return std::all_of(endpoints_.begin(), endpoints_.end(), [](const auto& e) { return e->done(); });
}

std::chrono::nanoseconds EventLoop::timeout(TimePoint now) const {
    std::optional<TimePoint> next;
    for (const auto& e : endpoints_) {
        const auto d = e->deadline(now);
        if (d && (!next || *d < *next)) next = d;
    }
    if (!next) return std::chrono::nanoseconds(-1);
    return std::max(std::chrono::nanoseconds::zero(), std::chrono::duration_cast<std::chrono::nanoseconds>(*next - now));
}

void EventLoop::run() {
    std::vector<pollfd> fds;
    std::vector<Endpoint*> polled;  // the endpoint of each entry of fds after the fixed ones
    while (stopRequested == 0) {
        TimePoint now = Clock::now();
        for (auto& e : endpoints_) e->service(now);
        // Closed sessions end here; their meter state goes with them.
        for (auto it = endpoints_.begin(); it != endpoints_.end();) {
            if (!(*it)->closed() && !(listener_ && (*it)->done())) {
                ++it;
                continue;
            }
            if ((*it)->done()) sessionDone_ = true;
            (*it)->logSummary();
            it = endpoints_.erase(it);
        }
        if (finished()) break;

        fds.clear();
        polled.clear();
        fds.push_back({wakePipe[0], POLLIN, 0});
        if (listener_) fds.push_back({listener_->fd(), POLLIN, 0});
        const std::size_t fixed = fds.size();
        for (auto& e : endpoints_) {
            if (const short events = e->events(now)) {
                fds.push_back({e->line().fd(), events, 0});
                polled.push_back(e.get());
            }
        }

        const auto wait = timeout(now);
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
        ts.tv_nsec = static_cast<long>(wait.count() % 1000000000);
        const int rc = ::ppoll(fds.data(), fds.size(), wait.count() < 0 ? nullptr : &ts, nullptr);
        if (rc < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("poll failed");
        }
        if (rc == 0) continue;
        now = Clock::now();
        if (listener_ && (fds[1].revents & POLLIN)) accept();
        for (std::size_t i = fixed; i < fds.size(); ++i)
            if (fds[i].revents) polled[i - fixed]->onEvents(fds[i].revents, now);
    }
    for (const auto& e : endpoints_) e->logSummary();
}

}  // namespace metersim
