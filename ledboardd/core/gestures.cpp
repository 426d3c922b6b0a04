#include "gestures.hpp"

namespace ledboardd {

const char* gestureName(Gesture gesture) noexcept
{
    switch (gesture) {
    case Gesture::Single:
        return "single";
    case Gesture::Double:
        return "double";
    case Gesture::Long:
        return "long";
    }
    return "unknown";
}

GestureRecognizer::GestureRecognizer(GestureTimings timings) : timings_(timings) {}

std::vector<Gesture> GestureRecognizer::observe(bool pressed, Clock::time_point now)
{
    std::vector<Gesture> gestures;
    const auto sinceStart = now - pressStart_;
    switch (phase_) {
    case Phase::Up:
        if (pressed) {
            phase_ = Phase::Down;
            pressStart_ = now;
        }
        break;
    case Phase::Down:
        if (pressed) {
            if (sinceStart >= timings_.longPress) {
                gestures.push_back(Gesture::Long);
                phase_ = Phase::Spent;
            }
        } else if (sinceStart >= timings_.doublePress) {
            gestures.push_back(Gesture::Single);
            phase_ = Phase::Up;
        } else {
            phase_ = Phase::Released;
        }
        break;
    case Phase::Released:
        if (sinceStart < timings_.doublePress) {
            if (pressed) {
                gestures.push_back(Gesture::Double);
                phase_ = Phase::Spent;
            }
            break;
        }
        gestures.push_back(Gesture::Single);
        // The window is over: a press seen now begins a sequence of its own.
        phase_ = pressed ? Phase::Down : Phase::Up;
        pressStart_ = now;
        break;
    case Phase::Spent:
        if (!pressed) {
            phase_ = Phase::Up;
        }
        break;
    }
    return gestures;
}

} // namespace ledboardd
