#pragma once

#include "pronunciation_dictionaries.h"
#include "service_answer.h"
#include "service_rules.h"

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
    int maxConcurrent = 0; // requests in flight before 429, overriding the plan's; 0: the plan's
    speechd::Plan plan = speechd::Plan::Unrestricted;
    int busyEvery = 0;             // every Nth accepted request answers 429 system_busy; 0: never
    std::optional<qint64> credits; // the account's credits; nullopt: kUnlimitedCredits
    bool strictVoices = false;     // only listed voices speak; others answer voice_not_found
    bool subscriptionReadable = true;              // false: the key lacks the permission to read it
    QList<speechd::LoadedDictionary> dictionaries; // --dictionary, in the order given
};

// An HTTP endpoint that answers the cloud service's text-to-speech, voice list and
// subscription requests, with speech from the local engine and the rules of an account's plan.
// Requests are taken on the thread that owns the server; synthesis and encoding run on a
// thread pool, and the answers are written back on the server's thread.
class SpeechServer : public QObject {
    Q_OBJECT
public:
    // The character limit reported when no credits are given.
    static constexpr qint64 kUnlimitedCredits = 100000000;

    SpeechServer(SpeechEngine& engine, const SpeechServerSettings& settings,
                 QObject* parent = nullptr);
    ~SpeechServer() override;

    // Returns the port listened on (a free one when `port` is 0).
    std::optional<quint16> listen(const QHostAddress& address, quint16 port, QString* error);

private:
    struct Exchange {
        explicit Exchange(QHttpServerResponder&& r) : responder(std::move(r)) {}
        QHttpServerResponder responder;
        QPointer<QTcpSocket> socket;
        QElapsedTimer clock;
        QByteArray method;
        QString path;
        bool counted = false; // holds a place in the in-flight count
        qint64 credits = 0;   // charged for this request; given back when it fails
    };

    void handleSynthesis(const QString& voiceId, const QHttpServerRequest& request,
                         QHttpServerResponder&& responder, bool timed);
    void handleVoices(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    void handleSubscription(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    void handleDictionaries(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    void handleMissing(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    bool keyAccepted(const QHttpServerRequest& request) const;
    quint64 open(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    void finish(quint64 id, speechd::Answer answer);
    void send(quint64 id, const speechd::Answer& answer);

    SpeechEngine& engine;
    const SpeechServerSettings settings;
    const qint64 creditLimit;
    const qint64 resetUnix; // when the (imagined) billing period renews
    QHttpServer http;
    QHash<quint64, std::shared_ptr<Exchange>> exchanges;
    quint64 nextId = 1;
    int inFlight = 0;
    qint64 creditsUsed = 0;
    quint64 busyCount = 0; // requests that reached the busy check
    QThreadPool workers;   // last: destroyed first, waiting for running syntheses
};

} // namespace lyrane
