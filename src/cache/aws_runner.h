#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

class QObject;

namespace lyrane {

// The end of one run of the aws tool.
struct AwsResult {
    bool ok = false;
    QByteArray standardOutput;
    QByteArray errorOutput;
    QString error;
    // True when the child ran to its own end (started, not ended by the time limit).
    bool completed = false;
    int exitCode = -1;
};

// Starts `program` with `arguments` as a child process and calls `done` once, from the event
// loop, when it has finished; standard input reads end-of-file. After `timeoutMs` (0: never)
// the child is killed and the result says it timed out. Ending `context` kills the child and
// drops the callback.
void runAws(const QString& program, const QList<QString>& arguments, int timeoutMs,
            QObject* context, std::function<void(const AwsResult&)> done);

// Runs `fn` from the event loop (of `context`, else the application), never from inside the
// call that schedules it.
void postToEventLoop(QObject* context, std::function<void()> fn);

} // namespace lyrane
