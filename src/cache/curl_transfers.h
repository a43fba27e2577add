#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

class QIODevice;
class QObject;

namespace lyrane {

// One HTTP request as libcurl is to send it.
struct HttpRequest {
    QByteArray method = "GET"; // GET, HEAD, PUT or DELETE
    QByteArray url;            // percent-encoded already; sent exactly so
    QList<QByteArray> headers; // "Name: value"
    // Signs with AWS Signature Version 4 ("aws:amz:REGION:SERVICE") when set.
    QByteArray awsSigV4;
    QByteArray accessKeyId;
    QByteArray secretAccessKey;
    std::shared_ptr<QIODevice> body; // sent with PUT: open for reading, at its start
    // Receives the body of a 2xx answer; other answers are kept in HttpAnswer::body.
    std::shared_ptr<QIODevice> sink;
    qint64 keepBytes = 1 << 20; // of a body kept in memory; more ends the exchange (overLimit)
};

// What came back.
struct HttpAnswer {
    bool answered = false;  // an HTTP status arrived and the exchange ended cleanly
    bool timedOut = false;  // nothing moved for the time limit
    bool overLimit = false; // the body went past keepBytes; what came before is kept
    QString error;          // why the exchange failed, when it did
    long status = 0;
    QByteArray body;
    QHash<QByteArray, QByteArray> headers; // names in lower case
};

// Many HTTP exchanges in flight on the Qt event loop (libcurl's multi interface, driven by
// socket notifiers and a timer), connections kept and reused between them.
class CurlTransfers {
public:
    CurlTransfers();
    ~CurlTransfers();
    CurlTransfers(const CurlTransfers&) = delete;
    CurlTransfers& operator=(const CurlTransfers&) = delete;

    // Calls `done` once, from the event loop. After `idleMs` (0: never) without a byte moving
    // the exchange ends as timed out. Ending `context` ends the exchange and drops `done`.
    void send(HttpRequest request, int idleMs, QObject* context,
              std::function<void(const HttpAnswer&)> done);

    // Sends them all at once and waits for them, without the event loop, up to `waitMs`: for a
    // run that is stopping.
    static QList<HttpAnswer> sendNow(const QList<HttpRequest>& requests, int waitMs);

    class Engine;

private:
    std::unique_ptr<Engine> engine;
};

} // namespace lyrane
