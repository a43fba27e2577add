#include "synthesis/elevenlabs_client.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <cmath>
#include <memory>

using lyrane::ElevenLabsClient;
using lyrane::SynthesisResult;
using lyrane::TtsRequest;

namespace {

// Runs one request to its end on a local event loop.
SynthesisResult synthesizeBlocking(const ElevenLabsClient& client, const TtsRequest& request,
                                   const QString& apiKey) {
    QEventLoop loop;
    SynthesisResult outcome;
    bool finished = false;
    client.synthesizeAsync(request, apiKey, &loop, [&](const SynthesisResult& result) {
        outcome = result;
        finished = true;
        loop.quit();
    });
    if (!finished) {
        loop.exec();
    }
    return outcome;
}

std::optional<QByteArray> synthesize(const ElevenLabsClient& client, const TtsRequest& request,
                                     const QString& apiKey, QString* error) {
    const SynthesisResult result = synthesizeBlocking(client, request, apiKey);
    if (!result.audio && error) {
        *error = result.error;
    }
    return result.audio;
}

struct RecordedRequest {
    QByteArray method;
    QByteArray path;
    QByteArray query;
    QHash<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
};

struct ScriptedReply {
    int status = 200;
    QByteArray reason = "OK";
    QList<QPair<QByteArray, QByteArray>> headers = {{"Content-Type", "audio/pcm"}};
    QByteArray body = "\x01\x02\x03\x04";
    int delayMs = 0;
    bool hang = false; // accept the request and never answer
};

// A minimal HTTP/1.1 service on the loopback interface that records requests and answers
// from a script; without a script it echoes the request body behind an "audio:" prefix.
class FakeService : public QObject {
public:
    FakeService() {
        connect(&server, &QTcpServer::newConnection, this, &FakeService::acceptConnections);
        if (!server.listen(QHostAddress::LocalHost, 0)) {
            qFatal("fake service cannot listen: %s", qPrintable(server.errorString()));
        }
    }

    QString baseUrl() const {
        return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
    }

    QList<RecordedRequest> requests;
    QList<ScriptedReply> script;
    int inFlight = 0;
    int maxInFlight = 0;

private:
    void acceptConnections() {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            socket->setParent(this);
            auto buffer = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer]() {
                buffer->append(socket->readAll());
                serve(socket, *buffer);
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    void serve(QTcpSocket* socket, QByteArray& buffer) {
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            return;
        }
        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        RecordedRequest request;
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        request.method = requestLine.value(0);
        const QByteArray target = requestLine.value(1);
        const qsizetype mark = target.indexOf('?');
        request.path = mark < 0 ? target : target.left(mark);
        request.query = mark < 0 ? QByteArray() : target.mid(mark + 1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0) {
                request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                       lines[i].mid(colon + 1).trimmed());
            }
        }
        const qsizetype length = request.headers.value("content-length").toLongLong();
        if (buffer.size() < headEnd + 4 + length) {
            return;
        }
        request.body = buffer.mid(headEnd + 4, length);
        buffer.remove(0, headEnd + 4 + length);
        requests.append(request);

        ScriptedReply reply;
        if (!script.isEmpty()) {
            reply = script.takeFirst();
        } else {
            reply.body = "audio:" + request.body;
        }
        maxInFlight = qMax(maxInFlight, ++inFlight);
        if (reply.hang) {
            return;
        }
        QPointer<QTcpSocket> guarded(socket);
        QTimer::singleShot(reply.delayMs, this, [this, guarded, reply]() {
            --inFlight;
            if (!guarded) {
                return;
            }
            QByteArray answer =
                "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reply.reason + "\r\n";
            for (const auto& header : reply.headers) {
                answer += header.first + ": " + header.second + "\r\n";
            }
            answer += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
            answer += "Connection: close\r\n\r\n" + reply.body;
            guarded->write(answer);
            guarded->disconnectFromHost();
        });
    }

    QTcpServer server;
};

TtsRequest requestFor(const QString& text, const QString& format = QStringLiteral("pcm_44100")) {
    TtsRequest request;
    request.text = text;
    request.voiceId = QStringLiteral("21m00Tcm4TlvDq8ikWAM");
    request.outputFormat = format;
    return request;
}

ScriptedReply answer(int status, const QByteArray& reason, const QByteArray& body,
                     QList<QPair<QByteArray, QByteArray>> headers = {}) {
    ScriptedReply reply;
    reply.status = status;
    reply.reason = reason;
    reply.body = body;
    reply.headers = std::move(headers);
    return reply;
}

const QString kTip = QStringLiteral("\n\nTIP: PCM format requires a Pro tier subscription. Try "
                                    "using MP3 format instead with --format mp3_44100");

int leftoverReplies(QNetworkAccessManager& manager) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return int(manager.findChildren<QNetworkReply*>().size());
}

} // namespace

Q_DECLARE_METATYPE(ScriptedReply)
Q_DECLARE_METATYPE(lyrane::ServiceErrorReason)

class ElevenLabsClientTest : public QObject {
    Q_OBJECT

private slots:
    void voiceIdForName_data();
    void voiceIdForName();
    void requestOnTheWire_data();
    void requestOnTheWire();
    void voiceIdIsEncodedIntoPath();
    void blankTextSendsNothing();
    void successReturnsBodyUnchanged();
    void failures_data();
    void failures();
    void retryAfterAsHttpDate();
    void connectionRefused();
    void transferTimeout();
    void baseUrlFromEnvironment_data();
    void baseUrlFromEnvironment();
    void concurrentRequestsShareOneManager();
    void destroyedContextDropsCallback();
    void serviceReasonsAndHeaders_data();
    void serviceReasonsAndHeaders();
    void successHeaders();
};

void ElevenLabsClientTest::voiceIdForName_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("exact name") << "Brenn"
                                << "21m00Tcm4TlvDq8ikWAM";
    QTest::newRow("padded name") << " Brenn "
                                 << "21m00Tcm4TlvDq8ikWAM";
    QTest::newRow("trailing newline") << "Brenn\n"
                                      << "21m00Tcm4TlvDq8ikWAM";
    QTest::newRow("other voice") << "Ottaline"
                                 << "ErXwobaYiN019PkySvjV";
    QTest::newRow("lower case is not a name") << "brenn"
                                              << "brenn";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("identifier passes through") << "  AbCdEfGhIj0123456789 "
                                               << "AbCdEfGhIj0123456789";
}

void ElevenLabsClientTest::voiceIdForName() {
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QCOMPARE(ElevenLabsClient::voiceIdForName(name), expected);
}

void ElevenLabsClientTest::requestOnTheWire_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("previous");
    QTest::addColumn<QString>("next");
    QTest::addColumn<QString>("format");
    QTest::addColumn<double>("speed");
    QTest::addColumn<QString>("apiKey");
    QTest::addColumn<QByteArray>("accept");
    QTest::addColumn<QByteArray>("body");

    const QByteArray head = R"({"model_id":"eleven_multilingual_v2",)";
    QTest::newRow("pcm, no context")
        << "Hello"
        << ""
        << ""
        << "pcm_44100" << 1.0 << "k1" << QByteArray("audio/pcm") << head + R"("text":"Hello"})";
    QTest::newRow("mp3 lower case")
        << "Hello"
        << ""
        << ""
        << "mp3_44100" << 1.0 << "k1" << QByteArray("audio/mpeg") << head + R"("text":"Hello"})";
    QTest::newRow("mp3 upper case")
        << "Hello"
        << ""
        << ""
        << "MP3_44100" << 1.0 << "k1" << QByteArray("audio/mpeg") << head + R"("text":"Hello"})";
    QTest::newRow("both contexts") << "Hello"
                                   << "Before."
                                   << "After."
                                   << "pcm_44100" << 1.0 << "k1" << QByteArray("audio/pcm")
                                   << head + R"("next_text":"After.","previous_text":"Before.",)"
                                             R"("text":"Hello"})";
    QTest::newRow("previous only") << "Hello"
                                   << "Before."
                                   << ""
                                   << "pcm_44100" << 1.0 << "k1" << QByteArray("audio/pcm")
                                   << head + R"("previous_text":"Before.","text":"Hello"})";
    QTest::newRow("speed within tolerance")
        << "Hello"
        << ""
        << ""
        << "pcm_44100" << 1.005 << "k1" << QByteArray("audio/pcm") << head + R"("text":"Hello"})";
    QTest::newRow("speed 0.95") << "Hello"
                                << ""
                                << ""
                                << "pcm_44100" << 0.95 << "k1" << QByteArray("audio/pcm")
                                << head + R"("text":"Hello","voice_settings":{"speed":0.95}})";
    QTest::newRow("speed 1.2 with context")
        << "Hello"
        << ""
        << "Next"
        << "mp3_44100" << 1.2 << "k1" << QByteArray("audio/mpeg")
        << head + R"("next_text":"Next","text":"Hello","voice_settings":{"speed":1.2}})";
    QTest::newRow("text sent untrimmed and escaped")
        << QString::fromUtf8("  Say \"grüß\"\n") << ""
        << ""
        << "pcm_44100" << 1.0 << QString::fromUtf8("schlüssel") << QByteArray("audio/pcm")
        << head + QByteArray(R"("text":"  Say \"grüß\"\n"})");
}

void ElevenLabsClientTest::requestOnTheWire() {
    QFETCH(QString, text);
    QFETCH(QString, previous);
    QFETCH(QString, next);
    QFETCH(QString, format);
    QFETCH(double, speed);
    QFETCH(QString, apiKey);
    QFETCH(QByteArray, accept);
    QFETCH(QByteArray, body);

    FakeService service;
    QNetworkAccessManager manager;
    const ElevenLabsClient client(&manager, service.baseUrl());
    TtsRequest request = requestFor(text, format);
    request.previousText = previous;
    request.nextText = next;
    request.speed = speed;

    QCOMPARE(ElevenLabsClient::requestBody(request), body);
    QString error;
    const auto audio = synthesize(client, request, apiKey, &error);
    QVERIFY2(audio, qPrintable(error));
    QCOMPARE(*audio, "audio:" + body);

    QCOMPARE(service.requests.size(), 1);
    const RecordedRequest& seen = service.requests.first();
    QCOMPARE(seen.method, QByteArray("POST"));
    QCOMPARE(seen.path, QByteArray("/v1/text-to-speech/21m00Tcm4TlvDq8ikWAM"));
    QCOMPARE(seen.query, "output_format=" + format.toUtf8());
    QCOMPARE(seen.headers.value("content-type"), QByteArray("application/json"));
    QCOMPARE(seen.headers.value("accept").toLower(), accept);
    QCOMPARE(seen.headers.value("xi-api-key"), apiKey.toUtf8());
    QCOMPARE(seen.body, body);
    QCOMPARE(leftoverReplies(manager), 0);
}

void ElevenLabsClientTest::voiceIdIsEncodedIntoPath() {
    FakeService service;
    QNetworkAccessManager manager;
    const ElevenLabsClient client(&manager, service.baseUrl());
    TtsRequest request = requestFor(QStringLiteral("Hi"));
    request.voiceId = QStringLiteral("my voice?#1");
    QVERIFY(synthesize(client, request, QStringLiteral("k"), nullptr));
    QCOMPARE(service.requests.size(), 1);
    QCOMPARE(service.requests.first().path, QByteArray("/v1/text-to-speech/my%20voice%3F%231"));
    QCOMPARE(service.requests.first().query, QByteArray("output_format=pcm_44100"));
}

void ElevenLabsClientTest::blankTextSendsNothing() {
    FakeService service;
    QNetworkAccessManager manager;
    const ElevenLabsClient client(&manager, service.baseUrl());
    QString error = QStringLiteral("untouched");
    const auto audio = synthesize(client, requestFor(QStringLiteral(" \n\t \r\n")), "k", &error);
    QVERIFY(audio);
    QVERIFY(audio->isEmpty());
    QCOMPARE(error, QStringLiteral("untouched"));

    int calls = 0;
    SynthesisResult seen;
    client.synthesizeAsync(requestFor(QStringLiteral("   ")), "k", this,
                           [&](const SynthesisResult& result) {
                               ++calls;
                               seen = result;
                           });
    QCOMPARE(calls, 0); // delivered from the event loop, not from inside the call
    QTRY_COMPARE(calls, 1);
    QVERIFY(seen.audio && seen.audio->isEmpty());
    QTest::qWait(20);
    QCOMPARE(calls, 1);
    QVERIFY(service.requests.isEmpty());
}

void ElevenLabsClientTest::successReturnsBodyUnchanged() {
    FakeService service;
    QByteArray pcm;
    for (int i = 0; i < 4410; ++i) {
        const qint16 value = qint16(16000 * std::sin(2 * M_PI * 440 * i / 44100.0));
        pcm.append(char(value & 0xff)).append(char((value >> 8) & 0xff));
    }
    service.script = {answer(200, "OK", pcm, {{"Content-Type", "audio/mpeg"}})};
    QNetworkAccessManager manager;
    const ElevenLabsClient client(&manager, service.baseUrl());
    const SynthesisResult result =
        synthesizeBlocking(client, requestFor(QStringLiteral("Hello")), QStringLiteral("k"));
    QVERIFY2(result.audio, qPrintable(result.error));
    QCOMPARE(*result.audio, pcm);
    QVERIFY(result.error.isEmpty());
    QCOMPARE(result.retryAfterMs, -1);
}

void ElevenLabsClientTest::failures_data() {
    QTest::addColumn<ScriptedReply>("reply");
    QTest::addColumn<QString>("expected"); // exact message, or the prefix when exact is false
    QTest::addColumn<bool>("exact");
    QTest::addColumn<bool>("retryable");
    QTest::addColumn<int>("retryAfterMs");

    const QString layer = QStringLiteral("TTS request failed: ");
    QTest::newRow("401 uses the layer's text")
        << answer(401, "Unauthorized", R"({"detail":"invalid api key, tier"})") << layer << false
        << false << -1;
    QTest::newRow("403") << answer(403, "Forbidden", "no") << layer << false << false << -1;
    QTest::newRow("400") << answer(400, "Bad Request", "bad") << layer << false << false << -1;
    QTest::newRow("404") << answer(404, "Not Found", "") << layer << false << false << -1;
    QTest::newRow("500") << answer(500, "Internal Server Error", "boom") << layer << false << true
                         << -1;
    QTest::newRow("503 with Retry-After")
        << answer(503, "Service Unavailable", "", {{"Retry-After", "7"}}) << layer << false << true
        << 7000;
    QTest::newRow("429 with Retry-After")
        << answer(429, "Too Many Requests", "slow down", {{"Retry-After", " 2 "}}) << layer << false
        << true << 2000;
    QTest::newRow("400 ignores Retry-After for retrying")
        << answer(400, "Bad Request", "", {{"Retry-After", "5"}}) << layer << false << false
        << 5000;
    // A 204 carries no body on the wire, so its message ends after the status.
    QTest::newRow("204 drops its body")
        << answer(204, "No Content", "Needs a SUBSCRIPTION upgrade")
        << QStringLiteral("TTS request failed (HTTP 204): ") << true << false << -1;
    QTest::newRow("202 mentioning subscription in capitals")
        << answer(202, "Accepted", "  Needs a SUBSCRIPTION upgrade \n")
        << QStringLiteral("TTS request failed (HTTP 202): Needs a SUBSCRIPTION upgrade") + kTip
        << true << false << -1;
    QTest::newRow("203 without tip words")
        << answer(203, "Non-Authoritative Information", " queued ")
        << QStringLiteral("TTS request failed (HTTP 203): queued") << true << false << -1;
    QTest::newRow("206 mentioning tier")
        << answer(206, "Partial Content", "Free Tier")
        << QStringLiteral("TTS request failed (HTTP 206): Free Tier") + kTip << true << false << -1;
    QTest::newRow("200 with empty body")
        << answer(200, "OK", "", {{"Content-Type", "audio/pcm"}})
        << QStringLiteral("TTS request failed: empty audio response") << true << false << -1;
    QTest::newRow("200 with JSON error page")
        << answer(200, "OK", " {\"detail\":\"quota exceeded\"}\n",
                  {{"Content-Type", "application/json; charset=utf-8"}})
        << QStringLiteral("TTS request failed: unexpected content type application/json: "
                          "{\"detail\":\"quota exceeded\"}")
        << true << false << -1;
    const QByteArray longPage = "<html>" + QByteArray(400, 'x') + "</html>";
    QTest::newRow("200 with HTML page cut at 200 characters")
        << answer(200, "OK", longPage, {{"Content-Type", "Text/HTML"}})
        << QStringLiteral("TTS request failed: unexpected content type text/html: ") +
               QString::fromLatin1(longPage.left(200))
        << true << false << -1;
}

void ElevenLabsClientTest::failures() {
    QFETCH(ScriptedReply, reply);
    QFETCH(QString, expected);
    QFETCH(bool, exact);
    QFETCH(bool, retryable);
    QFETCH(int, retryAfterMs);

    FakeService service;
    service.script = {reply};
    QNetworkAccessManager manager;
    const ElevenLabsClient client(&manager, service.baseUrl());
    const SynthesisResult result =
        synthesizeBlocking(client, requestFor(QStringLiteral("Hello")), QStringLiteral("k"));
    QVERIFY(!result.audio);
    if (exact) {
        QCOMPARE(result.error, expected);
    } else {
        // The HTTP layer's own text follows the prefix; the status message form is not used.
        QVERIFY2(result.error.startsWith(expected), qPrintable(result.error));
        QVERIFY2(result.error.size() > expected.size(), qPrintable(result.error));
        QVERIFY2(!result.error.contains(QLatin1String("(HTTP ")), qPrintable(result.error));
        QVERIFY2(!result.error.contains(QLatin1String("TIP:")), qPrintable(result.error));
    }
    QCOMPARE(result.retryable, retryable);
    QCOMPARE(result.retryAfterMs, retryAfterMs);

    QString error;
    service.script = {reply, reply};
    QVERIFY(!synthesize(client, requestFor(QStringLiteral("Hello")), QStringLiteral("k"), &error));
    QCOMPARE(error, result.error);
    QVERIFY(!synthesize(client, requestFor(QStringLiteral("Hello")), QStringLiteral("k"), nullptr));
    QCOMPARE(leftoverReplies(manager), 0);
}

void ElevenLabsClientTest::retryAfterAsHttpDate() {
    FakeService service;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QByteArray gmt =
        QLocale::c()
            .toString(now.addSecs(30), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
            .toLatin1();
    const QByteArray offset =
        now.addSecs(60).toOffsetFromUtc(3600).toString(Qt::RFC2822Date).toLatin1();
    const QByteArray past = "Wed, 21 Oct 2015 07:28:00 GMT";
    service.script = {answer(429, "Too Many Requests", "", {{"Retry-After", gmt}}),
                      answer(503, "Service Unavailable", "", {{"Retry-After", offset}}),
                      answer(503, "Service Unavailable", "", {{"Retry-After", past}}),
                      answer(503, "Service Unavailable", "", {{"Retry-After", "soon"}})};
    QNetworkAccessManager manager;
    const ElevenLabsClient client(&manager, service.baseUrl());
    const TtsRequest request = requestFor(QStringLiteral("Hello"));

    const SynthesisResult inHalfAMinute = synthesizeBlocking(client, request, QStringLiteral("k"));
    QVERIFY(inHalfAMinute.retryable);
    QVERIFY2(inHalfAMinute.retryAfterMs > 25000 && inHalfAMinute.retryAfterMs <= 30000,
             qPrintable(QString::number(inHalfAMinute.retryAfterMs)));
    const SynthesisResult inAMinute = synthesizeBlocking(client, request, QStringLiteral("k"));
    QVERIFY2(inAMinute.retryAfterMs > 55000 && inAMinute.retryAfterMs <= 60000,
             qPrintable(QString::number(inAMinute.retryAfterMs)));
    QCOMPARE(synthesizeBlocking(client, request, QStringLiteral("k")).retryAfterMs, 0);
    QCOMPARE(synthesizeBlocking(client, request, QStringLiteral("k")).retryAfterMs, -1);
}

void ElevenLabsClientTest::connectionRefused() {
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    QNetworkAccessManager manager;
    const ElevenLabsClient client(&manager, QStringLiteral("http://127.0.0.1:%1").arg(port));
    const SynthesisResult result =
        synthesizeBlocking(client, requestFor(QStringLiteral("Hello")), QStringLiteral("k"));
    QVERIFY(!result.audio);
    QVERIFY2(result.error.startsWith(QLatin1String("TTS request failed: ")) &&
                 result.error.size() > 20,
             qPrintable(result.error));
    QVERIFY(result.retryable);
    QCOMPARE(result.retryAfterMs, -1);
    QCOMPARE(leftoverReplies(manager), 0);
}

void ElevenLabsClientTest::transferTimeout() {
    FakeService service;
    ScriptedReply silent;
    silent.hang = true;
    service.script = {silent};
    QNetworkAccessManager manager;
    ElevenLabsClient client(&manager, service.baseUrl());
    client.setTransferTimeoutMs(300);
    const SynthesisResult result =
        synthesizeBlocking(client, requestFor(QStringLiteral("Hello")), QStringLiteral("k"));
    QVERIFY(!result.audio);
    QVERIFY2(result.error.startsWith(QLatin1String("TTS request failed: ")) &&
                 result.error.size() > 20,
             qPrintable(result.error));
    QVERIFY(result.retryable);
    QCOMPARE(service.requests.size(), 1);
    QCOMPARE(leftoverReplies(manager), 0);
}

void ElevenLabsClientTest::baseUrlFromEnvironment_data() {
    QTest::addColumn<bool>("set");
    QTest::addColumn<QString>("suffix"); // appended to the fake's address
    QTest::addRow("plain") << true << "";
    QTest::addRow("trailing slash") << true << "/";
    QTest::addRow("unset") << false << "";
}

void ElevenLabsClientTest::baseUrlFromEnvironment() {
    QFETCH(bool, set);
    QFETCH(QString, suffix);
    FakeService service;
    if (!set) {
        QCOMPARE(ElevenLabsClient::serviceAddress(QString()),
                 QString::fromLatin1(ElevenLabsClient::kDefaultBaseUrl));
        return;
    }
    const QString address = ElevenLabsClient::serviceAddress(service.baseUrl() + suffix);
    QCOMPARE(address, service.baseUrl());

    QNetworkAccessManager manager;
    const ElevenLabsClient client(&manager, address);
    QCOMPARE(client.baseUrl(), service.baseUrl());
    QVERIFY(synthesize(client, requestFor(QStringLiteral("Hi")), QStringLiteral("k"), nullptr));
    QCOMPARE(service.requests.size(), 1);
    QCOMPARE(service.requests.first().path, QByteArray("/v1/text-to-speech/21m00Tcm4TlvDq8ikWAM"));
}

void ElevenLabsClientTest::concurrentRequestsShareOneManager() {
    FakeService service;
    ScriptedReply slow;
    slow.delayMs = 300;
    slow.body = "first";
    ScriptedReply slower = slow;
    slower.delayMs = 400;
    slower.body = "second";
    service.script = {slow, slower};
    QNetworkAccessManager manager;
    const ElevenLabsClient client(&manager, service.baseUrl());

    QList<int> calls = {0, 0};
    QList<SynthesisResult> results(2);
    for (int i = 0; i < 2; ++i) {
        client.synthesizeAsync(requestFor(QStringLiteral("Line %1").arg(i)), QStringLiteral("k"),
                               this, [&calls, &results, i](const SynthesisResult& result) {
                                   ++calls[i];
                                   results[i] = result;
                               });
    }
    QTRY_VERIFY_WITH_TIMEOUT(calls[0] == 1 && calls[1] == 1, 10000);
    QTest::qWait(50);
    QCOMPARE(calls, QList<int>({1, 1}));
    QCOMPARE(service.maxInFlight, 2);
    QCOMPARE(service.requests.size(), 2);
    // Each callback got the answer to its own request, whichever arrived first.
    const int first = service.requests[0].body.contains("Line 0") ? 0 : 1;
    QVERIFY(results[first].audio && results[1 - first].audio);
    QCOMPARE(*results[first].audio, QByteArray("first"));
    QCOMPARE(*results[1 - first].audio, QByteArray("second"));
    QCOMPARE(leftoverReplies(manager), 0);
}

void ElevenLabsClientTest::destroyedContextDropsCallback() {
    FakeService service;
    ScriptedReply slow;
    slow.delayMs = 200;
    service.script = {slow};
    QNetworkAccessManager manager;
    const ElevenLabsClient client(&manager, service.baseUrl());

    int calls = 0;
    auto* context = new QObject;
    client.synthesizeAsync(requestFor(QStringLiteral("Hello")), QStringLiteral("k"), context,
                           [&calls](const SynthesisResult&) { ++calls; });
    QTRY_COMPARE(service.requests.size(), 1);
    delete context;
    QTest::qWait(400);
    QCOMPARE(calls, 0);
    QCOMPARE(leftoverReplies(manager), 0);
}

void ElevenLabsClientTest::serviceReasonsAndHeaders_data() {
    QTest::addColumn<ScriptedReply>("reply");
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<lyrane::ServiceErrorReason>("reason");
    QTest::addColumn<QString>("detail"); // what follows the HTTP layer's text
    QTest::addColumn<bool>("retryable");
    QTest::addColumn<int>("maximumInFlight");

    using lyrane::ServiceErrorReason;
    const QByteArray key = "sk_0f1e2d3c4b5a69788796a5b4c3d2e1f0";
    QTest::newRow("format not allowed")
        << answer(403, "Forbidden",
                  R"({"detail":{"status":"output_format_not_allowed","message":"Requested )"
                  R"(output format pcm_44100 is only allowed for Pro tier and above."}})",
                  {{"Content-Type", "application/json"}})
        << 403 << ServiceErrorReason::OutputFormatNotAllowed
        << " (output_format_not_allowed: Requested output format pcm_44100 is only allowed for "
           "Pro tier and above.)"
        << false << -1;
    QTest::newRow("invalid key echoing the key")
        << answer(401, "Unauthorized",
                  R"({"detail":{"status":"invalid_api_key","message":"Key )" + key +
                      R"( is invalid"}})")
        << 401 << ServiceErrorReason::InvalidApiKey
        << " (invalid_api_key: Key [API key] is invalid)" << false << -1;
    QTest::newRow("too many at once, with the plan's limit")
        << answer(429, "Too Many Requests",
                  R"({"detail":{"status":"too_many_concurrent_requests","message":"Too many"}})",
                  {{"maximum-concurrent-requests", "2"}, {"current-concurrent-requests", "3"}})
        << 429 << ServiceErrorReason::TooManyConcurrentRequests
        << " (too_many_concurrent_requests: Too many)" << true << 2;
    QTest::newRow("422 field")
        << answer(422, "Unprocessable Entity",
                  R"({"detail":[{"loc":["body","voice_settings","speed"],)"
                  R"("msg":"Input should be greater than or equal to 0.7","type":"x"}]})")
        << 422 << ServiceErrorReason::InvalidRequest
        << " (body.voice_settings.speed: Input should be greater than or equal to 0.7)" << false
        << -1;
    QTest::newRow("500 not wrapped")
        << answer(500, "Internal Server Error",
                  R"({"status":"internal_server_error","message":"Oops"})")
        << 500 << ServiceErrorReason::Other << " (internal_server_error: Oops)" << true << -1;
}

void ElevenLabsClientTest::serviceReasonsAndHeaders() {
    QFETCH(ScriptedReply, reply);
    QFETCH(int, httpStatus);
    QFETCH(lyrane::ServiceErrorReason, reason);
    QFETCH(QString, detail);
    QFETCH(bool, retryable);
    QFETCH(int, maximumInFlight);

    const QString key = QStringLiteral("sk_0f1e2d3c4b5a69788796a5b4c3d2e1f0");
    FakeService service;
    service.script = {reply};
    QNetworkAccessManager manager;
    const ElevenLabsClient client(&manager, service.baseUrl());
    const SynthesisResult result =
        synthesizeBlocking(client, requestFor(QStringLiteral("Hi")), key);
    QVERIFY(!result.audio);
    QCOMPARE(result.httpStatus, httpStatus);
    QCOMPARE(result.reason, reason);
    QCOMPARE(result.retryable, retryable);
    QCOMPARE(result.maximumConcurrentRequests, maximumInFlight);
    QVERIFY2(result.error.startsWith(QLatin1String("TTS request failed: ")),
             qPrintable(result.error));
    QVERIFY2(result.error.endsWith(detail), qPrintable(result.error));
    QVERIFY2(result.error.size() > 20 + detail.size(), qPrintable(result.error));
    QVERIFY(!result.error.contains(key));
    QCOMPARE(service.requests.first().headers.value("xi-api-key"), key.toUtf8());
}

void ElevenLabsClientTest::successHeaders() {
    FakeService service;
    service.script = {answer(200, "OK", "\x01\x02",
                             {{"Content-Type", "audio/pcm"},
                              {"character-cost", " 42 "},
                              {"request-id", "r3Q9xY"},
                              {"maximum-concurrent-requests", "10"}}),
                      answer(200, "OK", "\x01\x02", {{"character-cost", "many"}})};
    QNetworkAccessManager manager;
    const ElevenLabsClient client(&manager, service.baseUrl());
    const SynthesisResult first =
        synthesizeBlocking(client, requestFor(QStringLiteral("Hello there")), QStringLiteral("k"));
    QVERIFY2(first.audio, qPrintable(first.error));
    QCOMPARE(first.httpStatus, 200);
    QCOMPARE(first.reason, lyrane::ServiceErrorReason::None);
    QCOMPARE(first.characterCost, 42);
    QCOMPARE(first.requestId, QStringLiteral("r3Q9xY"));
    QCOMPARE(first.maximumConcurrentRequests, 10);
    const SynthesisResult second =
        synthesizeBlocking(client, requestFor(QStringLiteral("Hello there")), QStringLiteral("k"));
    QVERIFY2(second.audio, qPrintable(second.error));
    QCOMPARE(second.characterCost, -1);
    QVERIFY(second.requestId.isEmpty());
    QCOMPARE(second.maximumConcurrentRequests, -1);
}

QTEST_GUILESS_MAIN(ElevenLabsClientTest)
#include "test_elevenlabs_client.moc"
