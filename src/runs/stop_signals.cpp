#include "runs/stop_signals.h"

#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace lyrane {

namespace {

int wakePipe[2] = {-1, -1};
std::atomic<bool> scopeActive{false};
std::atomic<int> stopSignal{0};
std::function<void()> stopFunction;
QSocketNotifier* notifier = nullptr;

extern "C" void onStopSignal(int signal) {
    if (!scopeActive.load()) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    stopSignal.store(signal);
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakePipe[1], &byte, 1);
}

} // namespace

void installStopSignals() {
    if (notifier || ::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    notifier = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char bytes[16];
        while (::read(wakePipe[0], bytes, sizeof bytes) > 0) {
        }
        if (scopeActive.load() && stopFunction) {
            stopFunction();
        }
    });
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

StopScope::StopScope(std::function<void()> stop) {
    stopFunction = std::move(stop);
    scopeActive.store(true);
}

StopScope::~StopScope() {
    scopeActive.store(false);
    stopFunction = nullptr;
}

} // namespace lyrane
