#include "cli/application.h"
#include "cli/options.h"
#include "runs/stop_signals.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    lyrane::installStopSignals();
    QCoreApplication app(argc, argv);
    lyrane::configureApplication();
    lyrane::RunConfiguration config;
    if (const std::optional<int> status =
            lyrane::parseCommandLine(app.arguments(), lyrane::readEnvironment(), &config)) {
        return *status;
    }
    return lyrane::dispatchRun(config);
}
