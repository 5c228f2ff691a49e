// The meter's application layer, reduced to what a link-layer test needs: it
// checks the LLC header of a request and produces an answer of known content.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "hdlc_codec.h"

namespace metersim {

struct AnswerMode {
    enum class Kind { Echo, Size } kind = Kind::Echo;
    std::size_t size = 0;  // Size: number of payload bytes

    // "echo" or "size:N"; nullopt for anything else.
    static std::optional<AnswerMode> parse(const std::string& text);
};

class Application {
public:
    explicit Application(AnswerMode mode = {}) : mode_(mode) {}

    // Takes a reassembled request (LLC header included) and returns the whole
    // answer with its LLC header, or nullopt when the request does not start
    // with E6 E6 00 and is therefore not ours to answer.
    std::optional<Bytes> respond(const Bytes& request) const;

private:
    AnswerMode mode_;
};

}  // namespace metersim
