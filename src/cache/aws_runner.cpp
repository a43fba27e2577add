#include "cache/aws_runner.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QProcess>
#include <QTimer>

#include <csignal>
#include <memory>
#include <utility>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#include <unistd.h>
#endif

namespace lyrane {

namespace {

QString messageForFailure(const AwsResult& result, bool withErrorOutput) {
    if (!result.completed) {
        return QObject::tr("aws CLI timed out");
    }
    const QString text = QString::fromUtf8(result.errorOutput).trimmed();
    if (withErrorOutput && !text.isEmpty()) {
        return QObject::tr("aws CLI error: %1").arg(text);
    }
    return QObject::tr("aws CLI exited with code %1").arg(result.exitCode);
}

// The child ends with this process, however it ends: a run killed outright leaves no aws call
// behind to finish an upload or a download nobody waits for. The signal comes when the thread
// that started the child ends, which for every aws call is the main thread.
void endWithParent(QProcess* process) {
#ifdef Q_OS_LINUX
    const pid_t parent = ::getpid();
    process->setChildProcessModifier([parent] {
        // Between fork and exec: only async-signal-safe calls. A parent that died before prctl
        // took effect has already handed the child to another one.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
    });
#else
    Q_UNUSED(process);
#endif
}

} // namespace

void postToEventLoop(QObject* context, std::function<void()> fn) {
    QObject* target = context ? context : QCoreApplication::instance();
    if (!target) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(target, std::move(fn), Qt::QueuedConnection);
}

void runAws(const QString& program, const QList<QString>& arguments, int timeoutMs,
            QObject* context, std::function<void(const AwsResult&)> done) {
    // Parented to the context so that its end also ends the child and drops the callback.
    auto* process = new QProcess(context);
    process->setProgram(program);
    process->setArguments(arguments);
    process->setProcessChannelMode(QProcess::SeparateChannels);
    endWithParent(process);

    struct State {
        bool delivered = false;
        bool timedOut = false;
        std::function<void(const AwsResult&)> done;
    };
    auto state = std::make_shared<State>();
    state->done = std::move(done);

    // The callback runs in an event of its own, so it may end the context (and with it the
    // process) without pulling the object out from under a signal that is still being sent.
    auto finish = [process, state, context](AwsResult result) {
        if (state->delivered) {
            return;
        }
        state->delivered = true;
        process->disconnect();
        process->deleteLater();
        if (state->done) {
            postToEventLoop(context, [done = std::move(state->done), result] { done(result); });
        }
    };

    if (context) {
        // Ended before the child: end the child too, quietly and before the process object goes.
        QObject::connect(context, &QObject::destroyed, process, [process] {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(5000);
            }
        });
    }

    // A tool that asks a question must read end-of-file instead of waiting for an answer.
    QObject::connect(process, &QProcess::started, process,
                     [process] { process->closeWriteChannel(); });
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [finish](QProcess::ProcessError processError) {
                         if (processError == QProcess::FailedToStart) {
                             AwsResult result;
                             result.error = messageForFailure(result, true);
                             finish(result);
                         }
                     });
    QObject::connect(process, &QProcess::finished, process,
                     [process, state, finish](int exitCode, QProcess::ExitStatus status) {
                         AwsResult result;
                         result.standardOutput = process->readAllStandardOutput();
                         result.errorOutput = process->readAllStandardError();
                         result.completed = !state->timedOut;
                         result.exitCode = exitCode;
                         result.ok =
                             result.completed && status == QProcess::NormalExit && exitCode == 0;
                         if (!result.ok) {
                             result.error = messageForFailure(result, true);
                         }
                         finish(result);
                     });

    if (timeoutMs > 0) {
        auto* timer = new QTimer(process);
        timer->setSingleShot(true);
        timer->setInterval(timeoutMs);
        QObject::connect(timer, &QTimer::timeout, process, [process, state] {
            state->timedOut = true;
            process->kill();
        });
        QObject::connect(process, &QProcess::started, timer, qOverload<>(&QTimer::start));
    }

    // Started from the event loop so that even a synchronous start failure reaches the
    // callback from there.
    QMetaObject::invokeMethod(
        process, [process] { process->start(); }, Qt::QueuedConnection);
}

} // namespace lyrane
