// The button's gestures, as a Zigbee2MQTT or Home Assistant user knows them from a wireless switch:
// a single press, a double press and a long press, each reported once. Pure: the board's reads are
// the only clock, so a gesture is seen at the read that crosses its threshold and its timing is
// quantised to the read interval (at 50 ms a long press of 800 ms shows at the first read at least
// 800 ms after the read that first saw the button down).
//
// How each press is taken:
//  - A press starts at the read that first sees the button down, and lasts to the read that sees
//    it up. A press that starts and ends between two reads is not seen, so it is no gesture.
//  - long: at the read that sees the button still down `longPress` or more after its press began.
//    Once per press; no single follows, and the next press starts a new sequence (a long press
//    opens no double window).
//  - double: at the read that sees a second press begin less than `doublePress` after the first
//    one began (a press seen exactly `doublePress` later is a new first press). Nothing more for
//    that second press, even if it is held long; a third quick press starts a new sequence.
//  - single: for a press released before it was long, once no second press can come: at the first
//    read at or past the end of the window with the button up, or at the release itself when the
//    press was held past the window. A read that sees the next press begin at or after the end of
//    the window reports the single first, then takes that press as a new first press.
//  - A button already down at the first read (held while the daemon started, or while the board
//    was plugged in) is no press until a read has seen it up.
#pragma once

#include "clock.hpp"

#include <chrono>
#include <vector>

namespace ledboardd {

enum class Gesture { Single, Double, Long };

// "single", "double", "long": the names the MQTT action and the HTTP events carry.
const char* gestureName(Gesture gesture) noexcept;

struct GestureTimings {
    std::chrono::milliseconds doublePress{400}; // two presses within this make a double press
    std::chrono::milliseconds longPress{800};   // a press held this long is a long press
};

class GestureRecognizer {
public:
    explicit GestureRecognizer(GestureTimings timings);

    // The button as one read saw it at `now` (reads come in order, every interval). Returns the
    // gestures this read completes, in order (usually none).
    std::vector<Gesture> observe(bool pressed, Clock::time_point now);
    // Whether a gesture may still come of what was seen: every read counts until it has.
    bool waiting() const { return phase_ == Phase::Down || phase_ == Phase::Released; }

private:
    enum class Phase {
        Up,       // no press under way
        Down,     // the first press of a sequence is held
        Released, // the first press was released inside the window: a second one may come
        Spent,    // the press held has been reported (or is no press): wait for the button to rise
    };

    GestureTimings timings_;
    // Until a read has seen the button up, a held button is no press.
    Phase phase_ = Phase::Spent;
    Clock::time_point pressStart_{};
};

} // namespace ledboardd
