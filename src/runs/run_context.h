#pragma once

#include "audio/stop_check.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>

namespace lyrane {

// Where a run's lines go: standard error for what happens, standard output for listings. Each
// call is one write, so lines from concurrent work never interleave.
class Console {
public:
    virtual ~Console() = default;
    virtual void error(const QString& text) = 0;
    virtual void output(const QString& text) = 0;
    // Whether lines on standard error may be redrawn in place.
    virtual bool isTerminal() const { return false; }
};

// The process's own streams.
class StandardConsole final : public Console {
public:
    void error(const QString& text) override;
    void output(const QString& text) override;
    bool isTerminal() const override;
};

// A console that keeps what it is told, for tests and for runs whose lines are shown elsewhere.
class RecordingConsole final : public Console {
public:
    void error(const QString& text) override { errors += text; }
    void output(const QString& text) override { outputs += text; }

    QString errors;
    QString outputs;
};

// Lives while a step waits and listens for a stop; its end stops the listening.
class StopWatch {
public:
    virtual ~StopWatch() = default;
};

// Whether the run has been asked to stop, and by which signal: steps ask it between their parts
// and return an interrupted outcome; a step that waits on the event loop watches it.
class StopToken {
public:
    virtual ~StopToken() = default;
    // The signal that asked for the stop; 0 while none did.
    virtual int signal() const = 0;
    bool requested() const { return signal() != 0; }
    // While the watch lives, `stop` is called from the event loop each time a stop is asked for
    // (a second signal asks again), at once when it was asked before. `stop` may be empty: the
    // watch then only holds the stop back from ending the program at a second signal.
    virtual std::unique_ptr<StopWatch> watch(std::function<void()> stop) const = 0;
    StopCheck check() const {
        return [this] {
            return requested();
        };
    }
};

// SIGINT and SIGTERM, as installStopSignals() records them.
class SignalStopToken final : public StopToken {
public:
    int signal() const override;
    std::unique_ptr<StopWatch> watch(std::function<void()> stop) const override;
};

// A stop asked for by the program itself: tests, and a server that ends its run.
class ManualStopToken final : public StopToken {
public:
    ManualStopToken();
    ~ManualStopToken() override;
    int signal() const override { return asked; }
    std::unique_ptr<StopWatch> watch(std::function<void()> stop) const override;
    // Asks for the stop; the watchers hear it from the event loop, again each time it is asked.
    void request(int signal);

private:
    struct Watchers;
    int asked = 0;
    std::shared_ptr<Watchers> watchers;
};

// What every step of a run is given besides its work: where to say things and whether to stop.
struct RunContext {
    Console& console;
    const StopToken& stop;
};

// The context of the program's own runs: the standard streams and the stop signals.
RunContext standardRunContext();

} // namespace lyrane
