#pragma once

#include "serve/file_answer.h"
#include "serve/live_actions.h"
#include "serve/live_page.h"
#include "serve/request_guard.h"

#include <QAbstractHttpServer>
#include <QHttpServerResponder>
#include <QPointer>
#include <QTimer>

#include <list>

class QTcpServer;
class QTcpSocket;

namespace lyrane {

// The HTTP side of a page served live, on the loopback address only. Every request passes the
// guard (else a plain 403); then GET / is the page, GET /changes?after=G the parts changed after
// generation G (held until there are some, for up to half a minute), POST /cues/N/retake and
// POST /cues/N/take/K the actions, and GET of a served file's name the file. Anything else is a
// plain 404.
class LiveServer final : public QAbstractHttpServer {
public:
    // `listener` listens already, its accepting paused; the server takes it.
    LiveServer(QTcpServer* listener, const RequestGuard& guard, const LivePage& page,
               LiveActions& actions, const ServedFiles& files);
    ~LiveServer() override;

    // Starts answering.
    void start();
    // The page changed: answers the requests waiting for a change.
    void pageChanged();
    // Stops answering; the requests waiting are let go.
    void close();

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Waiter {
        Waiter(QHttpServerResponder&& responder, qint64 since, qint64 deadline)
            : responder(std::move(responder)), socket(this->responder.socket()), since(since),
              deadline(deadline) {}
        QHttpServerResponder responder;
        QPointer<QTcpSocket> socket;
        qint64 since;
        qint64 deadline; // ms since the epoch
    };

    void answerPage(QHttpServerResponder& responder, const QHttpServerRequest& request);
    void answerChanges(QHttpServerResponder&& responder, const QHttpServerRequest& request);
    void answerAction(QHttpServerResponder& responder, const QString& path);
    void answerWaiters(bool all);

    QTcpServer* listener;
    const RequestGuard& guard;
    const LivePage& page;
    LiveActions& actions;
    const ServedFiles& files;
    std::list<Waiter> waiters;
    QTimer sweep;
    bool closed = false;
};

} // namespace lyrane
