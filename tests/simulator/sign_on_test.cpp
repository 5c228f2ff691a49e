// The meter's side of the mode E opening, byte by byte: what it answers,
// what it ignores, and where a wrong acknowledgement leaves it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sign_on.h"

using namespace metersim;
using namespace std::string_literals;
using Action = SignOn::Action;

namespace {

const std::string kAck9600 = "\x06" "252\r\n";

// The actions other than None that feeding `text` produces, in order.
std::vector<Action> feed(SignOn& meter, const std::string& text) {
    std::vector<Action> actions;
    for (const char c : text)
        if (const Action a = meter.take(static_cast<std::uint8_t>(c)); a != Action::None) actions.push_back(a);
    return actions;
}

}  // namespace

TEST(SignOn, AnswersOnlyWellFormedSignOnsForItsAddress) {
    struct Case {
        std::string input;
        std::string address;  // the meter's
        std::vector<Action> expected;
    };
    const Case cases[] = {
        {"/?!\r\n", "", {Action::Identify}},
        {"/?12345678!\r\n", "", {Action::Identify}},
        {"/?12345678!\r\n", "12345678", {Action::Identify}},
        {"/?!\r\n", "12345678", {Action::Identify}},
        {"/?87654321!\r\n", "12345678", {Action::Ignored}},
        {"/?0012345678!\r\n", "12345678", {Action::Identify}},  // leading zeros do not count
        {"/?42!\r\n", "00042", {Action::Identify}},
        {"/?0!\r\n", "00", {Action::Identify}},
        {"/?1042!\r\n", "42", {Action::Ignored}},
        {"\x00\xFF noise /?!\r\n"s, "", {Action::Identify}},  // noise before the '/' is skipped
        {"/?!x\r\n", "", {Action::Ignored}},
        {"/!\r\n", "", {Action::Ignored}},
        {"/?a!b!\r\n", "", {Action::Ignored}},
        {"/?!\n", "", {Action::Ignored}},
        {"/?0123456789012345678901234567890123456789!\r\n", "", {Action::Ignored}},  // longer than any sign-on
        {"/?12/?!\r\n", "", {Action::Identify}},  // a '/' starts over
        {"\x06" "252\r\n", "", {}},               // an ACK without a sign-on is noise
        {"/?!x\r\n/?!\r\n", "", {Action::Ignored, Action::Identify}},  // it waits on after one it ignored
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        SignOn meter(SignOnConfig{"/TVK5\\2TARVIK", c.address});
        EXPECT_EQ(feed(meter, c.input), c.expected);
        EXPECT_FALSE(meter.switched());
    }
}

TEST(SignOn, IdentificationCarriesTheOfferedRate) {
    struct Case {
        const char* identification;
        const char* ack;
        unsigned baud;
    };
    const Case cases[] = {
        {"/ABC6\\2X", "\x06" "262\r\n", 19200},
        {"/ABC0\\2X", "\x06" "202\r\n", 300},
        {"/ABC3X", "\x06" "232\r\n", 2400},
        {"garbage", "\x06" "252\r\n", 9600},  // no baud character: the meter expects '5'
        {"/ABC9", "\x06" "252\r\n", 9600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.identification);
        SignOn m(SignOnConfig{c.identification, ""});
        EXPECT_EQ(feed(m, std::string("/?!\r\n") + c.ack), (std::vector<Action>{Action::Identify, Action::Switch}));
        EXPECT_EQ(m.baud(), c.baud);
    }
}

TEST(SignOn, WrongAcknowledgementReturnsToWaitingForASignOn) {
    const char* wrong[] = {
        "\x06" "242\r\n",  // another rate than offered
        "\x06" "050\r\n",  // protocol mode C, data readout
        "\x06" "251\r\n",  // programming mode, not binary
        "252\r\n",         // no ACK
        "\x06" "2522\r\n",
        "\x15\r\n",        // NAK
    };
    for (const char* ack : wrong) {
        SCOPED_TRACE(ack);
        SignOn meter(SignOnConfig{});
        EXPECT_EQ(feed(meter, std::string("/?!\r\n") + ack), (std::vector<Action>{Action::Identify, Action::Rejected}));
        // The right ACK now comes too late: the meter waits for a sign-on.
        EXPECT_EQ(feed(meter, kAck9600), std::vector<Action>{});
        EXPECT_EQ(feed(meter, "/?!\r\n" + kAck9600), (std::vector<Action>{Action::Identify, Action::Switch}));
    }
}

TEST(SignOn, NewSignOnWhileAwaitingTheAckIsAnsweredAndResetStartsOver) {
    SignOn meter(SignOnConfig{});
    EXPECT_EQ(feed(meter, "/?!\r\n/?!\r\n"), (std::vector<Action>{Action::Identify, Action::Rejected, Action::Identify}));
    EXPECT_EQ(feed(meter, kAck9600), std::vector<Action>{Action::Switch});
    EXPECT_EQ(feed(meter, "/?!\r\n" + kAck9600), std::vector<Action>{});  // HDLC now: no more sign-ons
    meter.reset();
    EXPECT_FALSE(meter.switched());
    EXPECT_EQ(feed(meter, "/?!\r\n" + kAck9600), (std::vector<Action>{Action::Identify, Action::Switch}));
}
