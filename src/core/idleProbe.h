// Whether the user has touched keyboard or mouse within the last five minutes.
#pragma once

#include <cstdint>

// An instant counts when an input came this long before it, or less.
inline constexpr uint32_t kActiveWindowMs = 300000;

class IdleProbe {
public:
    bool isUserActive() const;
    // Milliseconds since the last input; false when the system cannot tell.
    bool idleMilliseconds(uint32_t* idle) const;
    // The last input as a point of the 64-bit tick count (sleep included), no
    // later than `now` read from it; false when the system cannot tell.
    bool lastInputAt(uint64_t now, uint64_t* tick) const;
};
