#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "server.h"

using namespace metersim;

namespace {

const Address kClient{16, 0, 1};
using Trace = std::vector<std::string>;

std::string describe(const Frame& f) {
    std::string s = toString(f.kind);
    if (f.kind == FrameKind::I) s += " " + std::to_string(f.ns) + "/" + std::to_string(f.nr) + (f.segmented ? "s" : "");
    if (f.kind == FrameKind::RR || f.kind == FrameKind::RNR) s += " " + std::to_string(f.nr);
    return s;
}

Frame command(FrameKind kind, std::uint8_t ns = 0, std::uint8_t nr = 0, Bytes info = {}) {
    Frame f;
    f.kind = kind;
    f.dst = {1, 17, 2};
    f.src = kClient;
    f.ns = ns;
    f.nr = nr;
    f.info = std::move(info);
    return f;
}

Bytes pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i % 251);
    return b;
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { config_.address = {1, 17, 2}; }
    void start(AnswerMode answer = {}) { server_ = std::make_unique<Server>(config_, Application(answer)); }

    // A command that must be answered, back to the client.
    Frame exchange(const Frame& f) {
        const auto answer = server_->handle(f);
        if (!answer) return ADD_FAILURE() << "no answer to " << describe(f), Frame{};
        EXPECT_TRUE(answer->dst == kClient && answer->src == config_.address);
        return *answer;
    }
    std::string ask(const Frame& f) { return describe(exchange(f)); }

    void connect() {
        ASSERT_EQ(exchange(command(FrameKind::SNRM)).kind, FrameKind::UA);
        ssn_ = rsn_ = 0;
    }

    // One request as the client runs it: segments of at most maxTx bytes,
    // RR while the meter is busy or until the answer is complete, every
    // sequence number checked. Returns the answer without LLC header.
    Bytes transfer(const Bytes& payload, std::size_t maxTx = 128) {
        Bytes out = {0xE6, 0xE6, 0x00};
        out.insert(out.end(), payload.begin(), payload.end());
        Bytes in;
        std::size_t sent = 0;
        bool ready = true;
        trace_.clear();
        while (trace_.size() < 100000 && !HasFailure()) {
            Frame f = command(FrameKind::RR, 0, rsn_);
            if (ready && sent < out.size()) {
                const std::size_t n = std::min(maxTx, out.size() - sent);
                f = command(FrameKind::I, ssn_, rsn_, Bytes(out.begin() + sent, out.begin() + sent + n));
                sent += n;
                f.segmented = sent < out.size();
                ssn_ = (ssn_ + 1) & 7;
            }
            const Frame a = exchange(f);
            trace_.push_back(describe(a));
            EXPECT_EQ(a.nr, ssn_);
            if (a.kind == FrameKind::I) {
                EXPECT_EQ(sent, out.size());
                EXPECT_EQ(a.ns, rsn_);
                EXPECT_LE(a.info.size(), config_.params.maxInfoTx);
                rsn_ = (rsn_ + 1) & 7;
                in.insert(in.end(), a.info.begin(), a.info.end());
                if (!a.segmented) break;
            } else {
                EXPECT_TRUE(a.kind == FrameKind::RR || a.kind == FrameKind::RNR) << describe(a);
                ready = a.kind == FrameKind::RR;
            }
        }
        if (in.size() < 3 || !std::equal(in.begin(), in.begin() + 3, Bytes{0xE6, 0xE7, 0x00}.begin()))
            return ADD_FAILURE() << "no LLC response header", Bytes{};
        return Bytes(in.begin() + 3, in.end());
    }

    ServerConfig config_;
    std::unique_ptr<Server> server_;
    std::uint8_t ssn_ = 0, rsn_ = 0;
    Trace trace_;
};

}  // namespace

TEST_F(ServerTest, SegmentedRequestAndAnswer) {
    start(AnswerMode{AnswerMode::Kind::Size, 10});
    connect();
    EXPECT_EQ(transfer(pattern(300)), pattern(10));
    EXPECT_EQ(trace_, (Trace{"RR 1", "RR 2", "I 0/3"}));

    // Echo shows that the segments were joined in order.
    start();
    connect();
    EXPECT_EQ(transfer(pattern(300)), pattern(300));
    EXPECT_EQ(trace_, (Trace{"RR 1", "RR 2", "I 0/3s", "I 1/3s", "I 2/3"}));

    config_.params.maxInfoTx = 100;
    start(AnswerMode{AnswerMode::Kind::Size, 1997});  // 2000 bytes with LLC header: 20 segments
    connect();
    EXPECT_EQ(transfer({0x01}), pattern(1997));
    ASSERT_EQ(trace_.size(), 20u);
    EXPECT_EQ(Trace(trace_.begin() + 7, trace_.begin() + 9), (Trace{"I 7/1s", "I 0/1s"}));
    EXPECT_EQ(trace_[19], "I 3/1");
    for (int i = 0; i < 10; ++i) EXPECT_EQ(transfer({0x02}).size(), 1997u);
    EXPECT_EQ(server_->receiveCount(), 11 % 8);
}

TEST_F(ServerTest, RnrHoldsOffTheClientAfterAcceptingASegment) {
    config_.rnrCount = 2;
    start(AnswerMode{AnswerMode::Kind::Size, 5});
    connect();
    EXPECT_EQ(transfer(pattern(300)), pattern(5));
    EXPECT_EQ(trace_, (Trace{"RNR 1", "RNR 1", "RR 1", "RR 2", "I 0/3"}));
    transfer({1});
    EXPECT_EQ(trace_, (Trace{"I 1/4"}));

    // Busy again after the next SNRM; an I-frame sent while busy is not taken.
    connect();
    EXPECT_EQ(ask(command(FrameKind::I, 0, 0, {0xE6, 0xE6, 0x00})), "RNR 1");
    EXPECT_EQ(ask(command(FrameKind::I, 1, 0, {0xE6})), "RNR 1");
    EXPECT_EQ(ask(command(FrameKind::RR, 0, 0)), "I 0/1");
}
