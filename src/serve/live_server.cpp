#include "serve/live_server.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QHttpServerRequest>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>

namespace lyrane {

namespace {

using Status = QHttpServerResponder::StatusCode;
using Method = QHttpServerRequest::Method;

constexpr qint64 kHoldMs = 25000; // a change is waited for this long, then "none yet"

// What the page may reach: its own inline script (by its hash) and style, and its own server.
QByteArray contentPolicy(const QString& script) {
    const QByteArray hash =
        QCryptographicHash::hash(script.toUtf8(), QCryptographicHash::Sha256).toBase64();
    return "default-src 'none'; script-src 'sha256-" + hash +
           "'; style-src 'unsafe-inline'; media-src 'self'; connect-src 'self'; img-src 'self'; "
           "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}

QByteArray generationJson(qint64 generation) {
    return QJsonDocument(QJsonObject{{QStringLiteral("generation"), generation}})
        .toJson(QJsonDocument::Compact);
}

} // namespace

LiveServer::LiveServer(QTcpServer* listener, const RequestGuard& guard, const LivePage& page,
                       LiveActions& actions, const ServedFiles& files)
    : listener(listener), guard(guard), page(page), actions(actions), files(files) {
    sweep.setInterval(1000);
    connect(&sweep, &QTimer::timeout, this, [this] { answerWaiters(false); });
}

LiveServer::~LiveServer() {
    close();
}

void LiveServer::start() {
    bind(listener);
    listener->resumeAccepting();
    sweep.start();
}

void LiveServer::close() {
    if (closed) {
        return;
    }
    closed = true;
    sweep.stop();
    listener->close();
    for (Waiter& waiter : waiters) {
        if (waiter.socket) {
            waiter.socket->abort();
        }
    }
    waiters.clear();
}

void LiveServer::pageChanged() {
    answerWaiters(true);
}

void LiveServer::answerWaiters(bool changed) {
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (auto it = waiters.begin(); it != waiters.end();) {
        const bool due = (changed && page.generation() > it->since) || now >= it->deadline;
        if (!due) {
            ++it;
            continue;
        }
        // The browser may have let the request go meanwhile.
        if (it->socket && it->socket->state() == QAbstractSocket::ConnectedState) {
            writeAnswer(it->responder, Status::Ok, page.changesSince(it->since),
                        {{"Content-Type", "application/json"}});
        }
        it = waiters.erase(it);
    }
}

bool LiveServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    QHttpServerResponder responder = makeResponder(request, socket);
    if (closed || !guard.allows(request)) {
        writeAnswer(responder, Status::Forbidden);
        return true;
    }
    // Only names this server made match; nothing of the path is decoded or reaches a file.
    const QString path = request.url().path(QUrl::FullyEncoded);
    if (request.method() == Method::Get && path == QLatin1String("/")) {
        answerPage(responder, request);
    } else if (request.method() == Method::Get && path == QLatin1String("/changes")) {
        answerChanges(std::move(responder), request);
    } else if (request.method() == Method::Post) {
        answerAction(responder, path);
    } else if (const std::optional<QString> file = files.find(path);
               file && request.method() == Method::Get) {
        answerWithFile(std::move(responder), request, *file);
    } else {
        writeAnswer(responder, Status::NotFound);
    }
    return true;
}

void LiveServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    QHttpServerResponder responder = makeResponder(request, socket);
    writeAnswer(responder, Status::NotFound);
}

void LiveServer::answerPage(QHttpServerResponder& responder, const QHttpServerRequest& request) {
    const QByteArray html = page.html();
    AnswerHeaders headers{{"Content-Type", "text/html; charset=utf-8"},
                          {"Content-Security-Policy", contentPolicy(page.script())},
                          {"Referrer-Policy", "no-referrer"},
                          {"X-Frame-Options", "DENY"}};
    if (guard.tokenInAddress(request)) {
        headers.append({"Set-Cookie", guard.cookie()});
    }
    writeAnswer(responder, Status::Ok, html, headers);
}

void LiveServer::answerChanges(QHttpServerResponder&& responder,
                               const QHttpServerRequest& request) {
    bool ok = false;
    const qint64 since =
        QUrlQuery(request.url()).queryItemValue(QStringLiteral("after")).toLongLong(&ok);
    if (!ok) {
        writeAnswer(responder, Status::NotFound);
        return;
    }
    if (page.generation() > since) {
        writeAnswer(responder, Status::Ok, page.changesSince(since),
                    {{"Content-Type", "application/json"}});
        return;
    }
    waiters.emplace_back(std::move(responder), since,
                         QDateTime::currentMSecsSinceEpoch() + kHoldMs);
}

void LiveServer::answerAction(QHttpServerResponder& responder, const QString& path) {
    static const QRegularExpression form(
        QStringLiteral("^/cues/([1-9][0-9]{0,5})/(?:retake|take/([1-9][0-9]{0,5}))$"));
    const QRegularExpressionMatch match = form.match(path);
    if (!match.hasMatch()) {
        writeAnswer(responder, Status::NotFound);
        return;
    }
    const int cue = match.captured(1).toInt();
    const LiveActions::Answer answer = match.capturedLength(2) == 0
                                           ? actions.retake(cue)
                                           : actions.choose(cue, match.captured(2).toInt());
    switch (answer) {
    case LiveActions::Answer::Accepted:
        writeAnswer(responder, Status::Accepted, generationJson(page.generation()),
                    {{"Content-Type", "application/json"}});
        return;
    case LiveActions::Answer::Busy:
        writeAnswer(responder, Status::Conflict);
        return;
    case LiveActions::Answer::NoSuchCue:
        writeAnswer(responder, Status::NotFound);
        return;
    }
}

} // namespace lyrane
