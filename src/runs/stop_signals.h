#pragma once

#include <functional>

namespace lyrane {

// SIGINT and SIGTERM. While a StopScope lives (a run waiting on its clips, or writing its
// output), a signal is recorded and calls the scope's function, if any, from the event loop, so
// the run can end what is in flight and say what it kept; work that runs without the event
// loop asks receivedStopSignal() between its steps. At any other moment the signal ends the
// program at once, as it always has.
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
