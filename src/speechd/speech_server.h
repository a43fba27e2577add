#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QHttpServer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>

#include <memory>
#include <optional>

class QTcpSocket;

namespace lyrane {

class SpeechEngine;

struct SpeechServerSettings {
    QString apiKey;        // empty: no key required
    int latencyMs = 0;     // added before every answer
    int maxConcurrent = 0; // requests in flight before 429; 0: no limit
};

// An HTTP endpoint that answers the text-to-speech request of the cloud service with speech
// from the local engine. Requests are taken on the thread that owns the server; synthesis and
// encoding run on a thread pool, and the answers are written back on the server's thread.
class SpeechServer : public QObject {
    Q_OBJECT
public:
    SpeechServer(SpeechEngine& engine, const SpeechServerSettings& settings,
                 QObject* parent = nullptr);
    ~SpeechServer() override;

    // Returns the port listened on (a free one when `port` is 0).
    std::optional<quint16> listen(const QHostAddress& address, quint16 port, QString* error);

    struct Answer {
        int status = 200;
        QByteArray contentType;
        QByteArray body;
    };

private:
    struct Exchange {
        explicit Exchange(QHttpServerResponder&& r) : responder(std::move(r)) {}
        QHttpServerResponder responder;
        QPointer<QTcpSocket> socket;
        QElapsedTimer clock;
        QByteArray method;
        QString path;
        bool counted = false; // holds a place in the in-flight count
    };

    void handleSynthesis(const QString& voiceId, const QHttpServerRequest& request,
                         QHttpServerResponder&& responder);
    void handleMissing(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    quint64 open(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    void finish(quint64 id, Answer answer);
    void send(quint64 id, const Answer& answer);

    SpeechEngine& engine;
    const SpeechServerSettings settings;
    QHttpServer http;
    QHash<quint64, std::shared_ptr<Exchange>> exchanges;
    quint64 nextId = 1;
    int inFlight = 0;
    QThreadPool workers; // last: destroyed first, waiting for running syntheses
};

} // namespace lyrane
