#include "serve/serve_run.h"

#include "runs/live_narration.h"
#include "runs/subtitle_run.h"
#include "serve/live_server.h"

#include <QEventLoop>
#include <QFile>
#include <QObject>
#include <QTcpServer>

#include <memory>

namespace lyrane {

namespace {

QString liveScript() {
    QFile script(QStringLiteral(":/serve/live_page.js"));
    return script.open(QIODevice::ReadOnly) ? QString::fromUtf8(script.readAll()) : QString();
}

// A run that ends before it is served ends as a --vtt run does.
int unserved(NarrationSession& session, NarrationOutcome outcome) {
    sayFailure(session.context.console, outcome);
    recordFailure(session.report, outcome, QString());
    if (!writeReportIfAsked(session.config, session.report, session.context.console)) {
        return 1;
    }
    return outcome.exitStatus();
}

// Serves until a stop, which ends a pass under way first.
void serveUntilStopped(LiveNarration& narration, CostGate& gate, QTcpServer* listener,
                       RunContext context) {
    ServedFiles files;
    LivePageParts parts;
    parts.clipAddress = [&files](const QString& path) {
        return files.clipAddress(path);
    };
    const QList<ReportOutput>& outputs = narration.report().outputs;
    parts.narrationAddress =
        outputs.isEmpty() ? QString() : files.setNarration(outputs.first().file);
    parts.script = liveScript();
    // Commands as typed: the page has no folder of its own.
    LivePage page(commandFromDirectory(narration.command(), QString()), parts);
    LiveActions actions(narration, gate, context.stop);
    page.show(narration.report(), narration.timeline(), actions.states(), false);
    const RequestGuard guard(listener->serverPort(), RequestGuard::newToken());
    LiveServer server(listener, guard, page, actions, files);
    QEventLoop loop;
    actions.stateChanged = [&](qint64 cue, const LiveCueState& state) {
        page.showCueState(cue, state);
        server.pageChanged();
    };
    actions.passed = [&](bool changed) {
        page.show(narration.report(), narration.timeline(), actions.states(), changed);
        server.pageChanged();
        if (context.stop.requested()) {
            loop.quit();
        }
    };
    server.start();
    context.console.error(QObject::tr("Review at %1; press Ctrl-C to stop\n").arg(guard.address()));
    const std::unique_ptr<StopWatch> watch = context.stop.watch([&] {
        if (!actions.running()) {
            loop.quit();
        }
    });
    if (!context.stop.requested()) {
        loop.exec();
    }
    server.close();
}

} // namespace

int serveLiveReview(const RunConfiguration& config, RunContext context) {
    // The port is had before anything is paid for: one in use stops the run at once.
    auto listener = std::make_unique<QTcpServer>();
    if (!listener->listen(QHostAddress::LocalHost, config.servePort.value_or(0))) {
        context.console.error(QObject::tr("Cannot serve the review page on 127.0.0.1 port %1: %2\n")
                                  .arg(config.servePort.value_or(0))
                                  .arg(listener->errorString()));
        return 1;
    }
    listener->pauseAccepting();
    NarrationSession session(config, context);
    BudgetAndAccountGate gate(config);
    NarrationOutcome failure;
    std::optional<NarrationInput> input = prepareSubtitleNarration(
        session, config.subtitleFile, config.outputFile, QString(), &failure);
    if (!input) {
        return unserved(session, failure);
    }
    LiveNarration narration(session, std::move(*input));
    const NarrationOutcome started = narration.start(gate);
    if (!started.done()) {
        return unserved(session, started);
    }
    serveUntilStopped(narration, gate, listener.release(), context);
    const Billing& billed = narration.billed();
    if (billed.newClips > 0) {
        context.console.error(billedLine(billed.characters, billed.newClips, billed.estimated));
    }
    return writeReportIfAsked(config, session.report, context.console) ? 0 : 1;
}

} // namespace lyrane
