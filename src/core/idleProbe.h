// Whether the user has touched keyboard or mouse within the last five minutes.
#pragma once

class IdleProbe {
public:
    bool isUserActive() const;
};
