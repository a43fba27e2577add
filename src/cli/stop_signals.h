#pragma once

#include <functional>

namespace lyrane {

// SIGINT and SIGTERM. While a StopScope lives (a run waiting on its clips), a signal calls the
// scope's function from the event loop, so the run can end what is in flight and say what it
// kept; at any other moment the signal ends the program at once, as it always has.
void installStopSignals();

// The signal that asked the run to stop, 0 when none did.
int receivedStopSignal();

class StopScope {
public:
    explicit StopScope(std::function<void()> stop);
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;
};

} // namespace lyrane
