#include "sign_on.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace metersim {

namespace {

constexpr char kAck = 0x06;
// "/?" + a device address of at most 32 characters + "!\r\n".
constexpr std::size_t kLongestSignOn = 2 + 32 + 3;
constexpr std::size_t kAckLength = 6;

bool addressCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == ' ';
}

// Device addresses compare as numbers do: "0042" names meter "42".
std::string withoutLeadingZeros(const std::string& address) {
    return address.substr(std::min(address.find_first_not_of('0'), address.size()));
}

}  // namespace

unsigned clientReactionMs(const std::string& identification) {
    return identification.size() > 3 && std::islower(static_cast<unsigned char>(identification[3])) ? 20 : 200;
}

unsigned baudForCharacter(char z) {
    return z >= '0' && z <= '6' ? 300u << (z - '0') : 0;
}

SignOn::SignOn(SignOnConfig config) : config_(std::move(config)) {
    const std::string& id = config_.identification;
    identification_.assign(id.begin(), id.end());
    identification_.push_back('\r');
    identification_.push_back('\n');
    baudCharacter_ = id.size() > 4 && id[0] == '/' && baudForCharacter(id[4]) != 0 ? id[4] : '5';
}

void SignOn::reset() {
    state_ = State::Waiting;
    line_.clear();
}

SignOn::Action SignOn::take(std::uint8_t byte) {
    if (state_ == State::Switched) return Action::None;
    const char c = static_cast<char>(byte);

    if (c == '/') {
        // A sign-on starts, whatever came before; while an ACK is awaited,
        // that is a wrong ACK.
        const Action action = state_ == State::AwaitingAck ? finish(Action::Rejected) : Action::None;
        state_ = State::Waiting;
        line_ = "/";
        return action;
    }
    if (state_ == State::Waiting && line_.empty()) return Action::None;  // noise between sign-ons

    line_ += c;
    if (c == '\n') return completeLine();
    const std::size_t limit = state_ == State::Waiting ? kLongestSignOn : kAckLength;
    if (line_.size() < limit) return Action::None;
    // Longer than anything the meter waits for.
    return finish(state_ == State::Waiting ? Action::Ignored : Action::Rejected);
}

SignOn::Action SignOn::completeLine() {
    if (state_ == State::Waiting) return finish(validSignOn() ? Action::Identify : Action::Ignored);
    const std::string ack = {kAck, '2', baudCharacter_, '2', '\r', '\n'};
    return finish(line_ == ack ? Action::Switch : Action::Rejected);
}

SignOn::Action SignOn::finish(Action action) {
    last_ = std::move(line_);
    line_.clear();
    state_ = action == Action::Identify ? State::AwaitingAck : action == Action::Switch ? State::Switched : State::Waiting;
    return action;
}

bool SignOn::validSignOn() const {
    const std::size_t n = line_.size();
    if (n < 5 || line_.compare(0, 2, "/?") != 0 || line_.compare(n - 3, 3, "!\r\n") != 0) return false;
    const std::string address = line_.substr(2, n - 5);
    for (const char c : address)
        if (!addressCharacter(c)) return false;
    return address.empty() || config_.address.empty() ||
           withoutLeadingZeros(address) == withoutLeadingZeros(config_.address);
}

std::string SignOn::line() const {
    std::string text;
    char buf[8];
    for (const char c : last_) {
        if (c >= 0x20 && c < 0x7F) {
            text += c;
        } else {
            std::snprintf(buf, sizeof buf, "<%02X>", static_cast<unsigned char>(c));
            text += buf;
        }
    }
    return text;
}

}  // namespace metersim
