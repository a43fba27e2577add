#pragma once

#include <functional>

namespace lyrane {

// SIGINT and SIGTERM, handled from the first line of main: a signal is recorded and never ends
// the program in the middle of a step. While a StopScope lives (a run reading the account,
// waiting on its clips, or writing its output), the scope's function is called from the event
// loop, so the run can end what is in flight and say what it kept; work that runs without the
// event loop asks receivedStopSignal() between its steps. A scope opened after the signal calls
// its function at once. A second signal while no scope is open ends the program at once.
void installStopSignals();

// The signal that asked the run to stop, 0 when none did.
int receivedStopSignal();

// Scopes nest: the innermost one's function is called, and its end gives the signal back to the
// scope around it.
class StopScope {
public:
    explicit StopScope(std::function<void()> stop);
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

private:
    std::function<void()> outer;
};

} // namespace lyrane
