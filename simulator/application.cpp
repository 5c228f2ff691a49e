#include "application.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace metersim {

namespace {
const Bytes kRequestHeader = {0xE6, 0xE6, 0x00};
const Bytes kResponseHeader = {0xE6, 0xE7, 0x00};
constexpr std::size_t kMaxAnswerSize = 64u << 20;
}  // namespace

std::optional<AnswerMode> AnswerMode::parse(const std::string& text) {
    if (text == "echo") return AnswerMode{};
    const std::string prefix = "size:";
    if (text.compare(0, prefix.size(), prefix) != 0 || text.size() == prefix.size()) return std::nullopt;
    const std::string digits = text.substr(prefix.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    errno = 0;
    const unsigned long long n = std::strtoull(digits.c_str(), nullptr, 10);
    if (errno != 0 || n > kMaxAnswerSize) return std::nullopt;
    return AnswerMode{Kind::Size, static_cast<std::size_t>(n)};
}

std::optional<Bytes> Application::respond(const Bytes& request) const {
    if (request.size() < kRequestHeader.size() ||
        !std::equal(kRequestHeader.begin(), kRequestHeader.end(), request.begin()))
        return std::nullopt;

    Bytes answer = kResponseHeader;
    if (mode_.kind == AnswerMode::Kind::Echo) {
        answer.insert(answer.end(), request.begin() + 3, request.end());
    } else {
        answer.reserve(answer.size() + mode_.size);
        // A pattern that does not repeat on power-of-two boundaries, so that
        // a lost or repeated segment shows up in the reassembled answer.
        for (std::size_t i = 0; i < mode_.size; ++i) answer.push_back(static_cast<std::uint8_t>(i % 251));
    }
    return answer;
}

}  // namespace metersim
