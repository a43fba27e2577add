#include "runs/stop_signals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace lyrane {

namespace {

int wakePipe[2] = {-1, -1};
std::atomic<int> openScopes{0};
std::atomic<int> stopSignal{0};
std::function<void()> stopFunction;
QSocketNotifier* notifier = nullptr;

extern "C" void onStopSignal(int signal) {
    int none = 0;
    if (!stopSignal.compare_exchange_strong(none, signal) && openScopes.load() == 0) {
        // Asked again while no step listens: whatever the run waits on, it ends now.
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakePipe[1], &byte, 1);
}

void callStopFunction() {
    if (openScopes.load() > 0 && stopSignal.load() != 0 && stopFunction) {
        // A copy: the function may open or close a scope of its own.
        const std::function<void()> stop = stopFunction;
        stop();
    }
}

// The event loop's side of the wake pipe; it needs the application object, which a signal
// may well precede.
void watchWakePipe() {
    if (notifier || wakePipe[0] < 0 || !QCoreApplication::instance()) {
        return;
    }
    notifier = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char bytes[16];
        while (::read(wakePipe[0], bytes, sizeof bytes) > 0) {
        }
        callStopFunction();
    });
}

} // namespace

void installStopSignals() {
    if (wakePipe[0] >= 0 || ::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int receivedStopSignal() {
    return stopSignal.load();
}

StopScope::StopScope(std::function<void()> stop)
    : outer(std::exchange(stopFunction, std::move(stop))) {
    watchWakePipe();
    openScopes.fetch_add(1);
    callStopFunction();
}

StopScope::~StopScope() {
    openScopes.fetch_sub(1);
    stopFunction = std::move(outer);
}

} // namespace lyrane
