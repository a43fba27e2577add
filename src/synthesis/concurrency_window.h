#pragma once

#include <algorithm>

namespace lyrane {

// How many cues may be worked on at once, and how many are. The limit may be lowered while a
// run goes on (a service that refuses concurrent requests); cues already in flight finish.
class ConcurrencyWindow {
public:
    explicit ConcurrencyWindow(int limit) : maximum(std::max(1, limit)) {}

    bool hasRoom() const { return count < maximum; }
    void enter() { ++count; }
    void leave() { count = std::max(0, count - 1); }
    int inFlight() const { return count; }
    int limit() const { return maximum; }
    // Never below one: a run always makes progress.
    void setLimit(int limit) { maximum = std::max(1, limit); }

private:
    int maximum;
    int count = 0;
};

} // namespace lyrane
