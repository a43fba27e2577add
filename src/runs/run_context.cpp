#include "runs/run_context.h"

#include "runs/console.h"
#include "runs/status_line.h"
#include "runs/stop_signals.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <map>

namespace lyrane {

void StandardConsole::error(const QString& text) {
    printError(text);
}

void StandardConsole::output(const QString& text) {
    printOutput(text);
}

bool StandardConsole::isTerminal() const {
    return StatusLine::isTerminal();
}

namespace {

class SignalWatch final : public StopWatch {
public:
    explicit SignalWatch(std::function<void()> stop) : scope(std::move(stop)) {}

private:
    StopScope scope;
};

} // namespace

int SignalStopToken::signal() const {
    return receivedStopSignal();
}

std::unique_ptr<StopWatch> SignalStopToken::watch(std::function<void()> stop) const {
    return std::make_unique<SignalWatch>(std::move(stop));
}

struct ManualStopToken::Watchers {
    int next = 0;
    std::map<int, std::function<void()>> byId;
};

namespace {

// From the event loop, so a watcher never runs inside the call that asked for the stop, and
// not at all once its watch has ended.
template <typename Watchers> void callLater(const std::shared_ptr<Watchers>& watchers, int id) {
    const std::weak_ptr<Watchers> weak = watchers;
    auto call = [weak, id] {
        const std::shared_ptr<Watchers> alive = weak.lock();
        if (!alive) {
            return;
        }
        const auto found = alive->byId.find(id);
        if (found != alive->byId.end() && found->second) {
            const std::function<void()> stop = found->second;
            stop();
        }
    };
    if (QCoreApplication::instance()) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), call, Qt::QueuedConnection);
    } else {
        call();
    }
}

} // namespace

namespace {

class ManualWatch final : public StopWatch {
public:
    ManualWatch(std::shared_ptr<void> owner, std::function<void()> remove)
        : owner(std::move(owner)), remove(std::move(remove)) {}
    ~ManualWatch() override { remove(); }

private:
    std::shared_ptr<void> owner;
    std::function<void()> remove;
};

} // namespace

ManualStopToken::ManualStopToken() : watchers(std::make_shared<Watchers>()) {}
ManualStopToken::~ManualStopToken() = default;

std::unique_ptr<StopWatch> ManualStopToken::watch(std::function<void()> stop) const {
    const int id = watchers->next++;
    watchers->byId[id] = std::move(stop);
    if (asked != 0) {
        callLater(watchers, id);
    }
    std::shared_ptr<Watchers> shared = watchers;
    return std::make_unique<ManualWatch>(shared, [shared, id] { shared->byId.erase(id); });
}

void ManualStopToken::request(int signal) {
    if (asked == 0) {
        asked = signal;
    }
    for (const auto& entry : watchers->byId) {
        callLater(watchers, entry.first);
    }
}

RunContext standardRunContext() {
    static StandardConsole console;
    static const SignalStopToken stop;
    return {console, stop};
}

} // namespace lyrane
