// The meter's side of the IEC 62056-21 mode E opening that precedes HDLC on
// an optical port:
//
//   client: / ? [device address] ! CR LF          (300 baud)
//   meter:  / X X X Z [\2] identification CR LF   (300 baud)
//   client: ACK 2 Z 2 CR LF                       (300 baud; mode E, binary)
//   both switch to the rate Z names ('0'..'6': 300 * 2^Z baud), 8N1, HDLC.
//
// The class is pure: it takes received bytes one at a time (parity bit
// already masked off) and says what the meter does, so that the opening can
// be checked in unit tests. Its behaviour, as a meter's:
//  * Bytes before a '/' are line noise and skipped; a line longer than any
//    sign-on is dropped.
//  * A sign-on that is not well formed, or that names another device address
//    than the meter's (when it has one), is ignored: the meter keeps waiting.
//  * After the identification, the meter accepts only ACK 2 Z 2 CR LF with
//    the Z it offered. Any other line sends it back to waiting for a sign-on;
//    a '/' there starts a new sign-on at once.
#pragma once

#include <cstdint>
#include <string>

#include "hdlc_codec.h"

namespace metersim {

struct SignOnConfig {
    // Sent as is, followed by CR LF. Its fifth character is the baud
    // character Z; an identification without a valid one (a malformed line,
    // for tests) makes the meter expect '5' (9600 baud).
    std::string identification = "/TVK5\\2TARVIK";
    // Empty: every sign-on is answered; otherwise only those naming this
    // address (leading zeros aside) or none.
    std::string address;
    // The meter's reaction time: the identification starts this long after
    // the sign-on's last byte, drawn anew for each sign-on.
    unsigned reactionMinMs = 200;
    unsigned reactionMaxMs = 1500;
};

// How long the client must wait after the identification before its
// acknowledgement: 200 ms, or 20 ms when the identification's third letter
// is lower case (the meter accepts the shorter reaction time).
unsigned clientReactionMs(const std::string& identification);

// The rate a mode E baud character names; 0 for a character that names none.
unsigned baudForCharacter(char z);

class SignOn {
public:
    enum class Action {
        None,      // byte taken, nothing to do yet
        Identify,  // a valid sign-on: send identification()
        Switch,    // a valid ACK: switch to baud() and serve HDLC
        Ignored,   // a line that is no valid sign-on (see line())
        Rejected,  // a wrong ACK: back to waiting for a sign-on (see line())
    };

    explicit SignOn(SignOnConfig config);

    Action take(std::uint8_t byte);
    // Back to waiting for a sign-on, e.g. after the HDLC link was closed.
    void reset();

    bool switched() const { return state_ == State::Switched; }
    // The identification line with CR LF.
    const Bytes& identification() const { return identification_; }
    // The agreed rate.
    unsigned baud() const { return baudForCharacter(baudCharacter_); }
    // The line completed last, printable, for the log.
    std::string line() const;

private:
    enum class State { Waiting, AwaitingAck, Switched };

    Action completeLine();
    // Ends the current line with this action and moves to the state it leads to.
    Action finish(Action action);
    bool validSignOn() const;

    SignOnConfig config_;
    Bytes identification_;
    char baudCharacter_;
    State state_ = State::Waiting;
    std::string line_;  // the line being received
    std::string last_;  // the line completed last
};

}  // namespace metersim
