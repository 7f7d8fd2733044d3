// Whether the user has touched keyboard or mouse within the last five minutes.
#pragma once

#include <cstdint>

class IdleProbe {
public:
    bool isUserActive() const;
    // Milliseconds since the last input; false when the system cannot tell.
    bool idleMilliseconds(uint32_t* idle) const;
};
