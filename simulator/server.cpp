#include "server.h"

#include <algorithm>

namespace metersim {

namespace {

// FRMR reason flags (third byte of the FRMR information field).
constexpr std::uint8_t kRejectUnknownCommand = 0x01;  // W
constexpr std::uint8_t kRejectInfoTooLong = 0x04;     // Y

std::uint8_t inc(std::uint8_t n) { return static_cast<std::uint8_t>((n + 1) & 7); }

void appendParameter(Bytes& out, std::uint8_t id, std::uint32_t value) {
    const unsigned width = value > 0xFFFF ? 4 : value > 0xFF ? 2 : 1;
    out.push_back(id);
    out.push_back(static_cast<std::uint8_t>(width));
    for (unsigned i = width; i-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

Bytes encodeParameters(const LinkParameters& p) {
    Bytes out = {0x81, 0x80, 0x00};  // format identifier, group identifier, group length
    appendParameter(out, 0x05, p.maxInfoTx);
    appendParameter(out, 0x06, p.maxInfoRx);
    appendParameter(out, 0x07, p.windowTx);
    appendParameter(out, 0x08, p.windowRx);
    out[2] = static_cast<std::uint8_t>(out.size() - 3);
    return out;
}

Server::Server(ServerConfig config, Application application)
    : config_(std::move(config)), application_(application) {
    if (config_.address.size == 1) config_.address.lower = 0;
    config_.params.maxInfoTx = std::max<std::uint32_t>(config_.params.maxInfoTx, 1);
}

bool Server::isForMe(const Frame& frame) const {
    return frame.dst == config_.address && frame.src.size == 1 && frame.src.upper == config_.client;
}

void Server::note(const std::string& text) const {
    if (log_) log_(text);
}

void Server::resetLink() {
    vs_ = vr_ = 0;
    request_.clear();
    answer_.clear();
    nextSegment_ = 0;
    outstanding_.reset();
    rnrLeft_ = config_.rnrCount;
    busy_ = false;
    frameReject_.reset();
}

void Server::dropLink() {
    resetLink();
    connected_ = false;
}

Frame Server::reply(FrameKind kind) const {
    Frame f;
    f.kind = kind;
    f.dst = Address{config_.client, 0, 1};
    f.src = config_.address;
    f.pollFinal = true;
    return f;
}

Frame Server::supervisory(FrameKind kind) const {
    Frame f = reply(kind);
    f.nr = vr_;
    return f;
}

std::optional<Frame> Server::handle(const Frame& in) {
    if (!isForMe(in)) return std::nullopt;

    switch (in.kind) {
    case FrameKind::SNRM: {
        resetLink();
        connected_ = true;
        Frame ua = reply(FrameKind::UA);
        if (config_.uaInfo) ua.info = encodeParameters(config_.params);
        return ua;
    }
    case FrameKind::DISC:
        if (!connected_) return reply(FrameKind::DM);
        resetLink();
        connected_ = false;
        return reply(FrameKind::UA);
    case FrameKind::UI:
    case FrameKind::UA:
    case FrameKind::DM:
    case FrameKind::FRMR:
        return std::nullopt;  // not commands a meter answers
    default:
        break;
    }

    if (!connected_) return in.pollFinal ? std::optional<Frame>(reply(FrameKind::DM)) : std::nullopt;
    if (frameReject_) return in.pollFinal ? frameReject_ : std::nullopt;

    switch (in.kind) {
    case FrameKind::I: return onInformation(in);
    case FrameKind::RR:
    case FrameKind::RNR: return onSupervisory(in);
    default: return reject(in, kRejectUnknownCommand);
    }
}

std::optional<Frame> Server::reject(const Frame& in, std::uint8_t reason) {
    const std::uint8_t control = controlField(in);
    note("frame reject, control " + toHex({control}));
    Frame frmr = reply(FrameKind::FRMR);
    frmr.info = {control, static_cast<std::uint8_t>(vr_ << 5 | vs_ << 1), reason};
    frameReject_ = frmr;
    return in.pollFinal ? std::optional<Frame>(frmr) : std::nullopt;
}

std::optional<Frame> Server::onInformation(const Frame& in) {
    if (in.ns != vr_) {
        note("I-frame N(S)=" + std::to_string(in.ns) + " out of sequence, expected " + std::to_string(vr_));
        return in.pollFinal ? std::optional<Frame>(supervisory(FrameKind::RR)) : std::nullopt;
    }
    if (busy_) {
        note("I-frame discarded while busy");
        return in.pollFinal ? std::optional<Frame>(pollAnswer()) : std::nullopt;
    }
    if (in.info.size() > config_.params.maxInfoRx) return reject(in, kRejectInfoTooLong);
    if (request_.size() + in.info.size() > kMaxRequest) {
        if (alert_) alert_("request longer than " + std::to_string(kMaxRequest) + " bytes: dropped, frame reject");
        request_.clear();
        return reject(in, kRejectInfoTooLong);
    }

    if (request_.empty()) {
        answer_.clear();
        nextSegment_ = 0;
        outstanding_.reset();
    }
    request_.insert(request_.end(), in.info.begin(), in.info.end());
    vr_ = inc(vr_);
    if (rnrLeft_ > 0) busy_ = true;

    if (!in.segmented) {
        const Bytes request = std::move(request_);
        request_.clear();
        if (auto answer = application_.respond(request)) {
            const std::size_t step = config_.params.maxInfoTx;
            for (std::size_t at = 0; at < answer->size(); at += step) {
                const auto from = answer->begin() + static_cast<std::ptrdiff_t>(at);
                answer_.emplace_back(from, from + static_cast<std::ptrdiff_t>(std::min(step, answer->size() - at)));
            }
        } else {
            note("request without LLC header dropped");
        }
    }
    return in.pollFinal ? std::optional<Frame>(pollAnswer()) : std::nullopt;
}

std::optional<Frame> Server::onSupervisory(const Frame& in) {
    if (outstanding_ && in.nr == inc(outstanding_->ns)) {
        outstanding_.reset();
    } else if (outstanding_ && in.nr == outstanding_->ns && in.kind == FrameKind::RR && in.pollFinal && !busy_) {
        note("segment " + std::to_string(outstanding_->index) + " not acknowledged, sending it again");
        return sendSegment(outstanding_->index, outstanding_->ns);
    }
    if (!in.pollFinal) return std::nullopt;
    if (in.kind == FrameKind::RNR) return supervisory(FrameKind::RR);  // client busy: no I-frame now
    return pollAnswer();
}

Frame Server::pollAnswer() {
    if (busy_) {
        if (--rnrLeft_ == 0) busy_ = false;
        return supervisory(FrameKind::RNR);
    }
    if (!outstanding_ && nextSegment_ < answer_.size()) {
        const std::uint8_t ns = vs_;
        vs_ = inc(vs_);
        return sendSegment(nextSegment_++, ns);
    }
    return supervisory(FrameKind::RR);
}

Frame Server::sendSegment(std::size_t index, std::uint8_t ns) {
    Frame f = reply(FrameKind::I);
    f.ns = ns;
    f.nr = vr_;
    f.segmented = index + 1 < answer_.size();
    f.info = answer_[index];
    outstanding_ = Outstanding{index, ns};
    return f;
}

}  // namespace metersim
