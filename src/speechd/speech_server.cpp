#include "speech_server.h"

#include "audio/mp3_codec.h"
#include "audio/resampling.h"
#include "speech_engine.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QMetaEnum>
#include <QTcpSocket>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>

#include <cmath>

namespace lyrane {

namespace {

using Answer = SpeechServer::Answer;

struct OutputFormat {
    bool mp3 = false;
    int sampleRate = 44100;
    int bitRate = kMp3BitRate; // bits per second, MP3 only
};

// What the cloud answers when no format is asked for.
const QString kDefaultOutputFormat = QStringLiteral("mp3_44100_128");

std::optional<OutputFormat> parseOutputFormat(const QString& name) {
    static constexpr int kPcmRates[] = {16000, 22050, 24000, 44100};
    for (const int rate : kPcmRates) {
        if (name == QLatin1String("pcm_") + QString::number(rate))
            return OutputFormat{false, rate, 0};
    }
    if (name == QLatin1String("mp3_44100"))
        return OutputFormat{true, 44100, kMp3BitRate};
    // The MPEG-1 layer III bit rates, in kbit/s.
    static constexpr int kMp3KiloBitRates[] = {32,  40,  48,  56,  64,  80,  96,
                                               112, 128, 160, 192, 224, 256, 320};
    for (const int kbps : kMp3KiloBitRates) {
        if (name == QLatin1String("mp3_44100_") + QString::number(kbps))
            return OutputFormat{true, 44100, kbps * 1000};
    }
    return std::nullopt;
}

Answer errorAnswer(int status, const char* code, const QString& message) {
    const QJsonObject detail{{QStringLiteral("status"), QString::fromLatin1(code)},
                             {QStringLiteral("message"), message}};
    return {status, QByteArrayLiteral("application/json"),
            QJsonDocument(QJsonObject{{QStringLiteral("detail"), detail}})
                .toJson(QJsonDocument::Compact)};
}

// Runs on a worker thread: the engine serializes the synthesis itself, while resampling and
// encoding of different requests may overlap.
Answer render(SpeechEngine& engine, const QString& text, const VoiceProfile& voice, double speed,
              const OutputFormat& format) {
    QString error;
    const std::optional<AudioBuffer> speech = engine.synthesize(text, voice, speed, &error);
    if (!speech)
        return errorAnswer(500, "synthesis_failed", error);

    std::optional<AudioBuffer> audio = speech;
    if (speech->sampleRate != format.sampleRate)
        audio = resample(*speech, format.sampleRate, &error);
    if (!audio)
        return errorAnswer(500, "synthesis_failed", error);

    if (!format.mp3)
        return {200, QByteArrayLiteral("audio/pcm"), toPcm16Bytes(*audio)};
    const std::optional<QByteArray> mp3 = encodeMp3ToBytes(*audio, format.bitRate, &error);
    if (!mp3)
        return errorAnswer(500, "synthesis_failed", error);
    return {200, QByteArrayLiteral("audio/mpeg"), *mp3};
}

} // namespace

SpeechServer::SpeechServer(SpeechEngine& engine, const SpeechServerSettings& settings,
                           QObject* parent)
    : QObject(parent), engine(engine), settings(settings) {
    workers.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    http.route(QStringLiteral("/v1/text-to-speech/<arg>"), QHttpServerRequest::Method::Post,
               [this](const QString& voiceId, const QHttpServerRequest& request,
                      QHttpServerResponder&& responder) {
                   handleSynthesis(voiceId, request, std::move(responder));
               });
    http.setMissingHandler(
        [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
            handleMissing(request, std::move(responder));
        });
}

SpeechServer::~SpeechServer() {
    // Results still being computed are dropped with their exchanges.
    workers.waitForDone();
}

std::optional<quint16> SpeechServer::listen(const QHostAddress& address, quint16 port,
                                            QString* error) {
    const quint16 bound = http.listen(address, port);
    if (bound == 0) {
        if (error)
            *error =
                QObject::tr("could not listen on %1 port %2").arg(address.toString()).arg(port);
        return std::nullopt;
    }
    return bound;
}

quint64 SpeechServer::open(const QHttpServerRequest& request, QHttpServerResponder&& responder) {
    auto exchange = std::make_shared<Exchange>(std::move(responder));
    exchange->clock.start();
    exchange->socket = exchange->responder.socket();
    exchange->method = QByteArray(QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(
                                      static_cast<int>(request.method())))
                           .toUpper();
    exchange->path = request.url().path();
    const quint64 id = nextId++;
    exchanges.insert(id, exchange);
    return id;
}

void SpeechServer::handleMissing(const QHttpServerRequest& request,
                                 QHttpServerResponder&& responder) {
    const quint64 id = open(request, std::move(responder));
    finish(id, errorAnswer(404, "not_found",
                           QObject::tr("no such endpoint: %1").arg(request.url().path())));
}

void SpeechServer::handleSynthesis(const QString& voiceId, const QHttpServerRequest& request,
                                   QHttpServerResponder&& responder) {
    const quint64 id = open(request, std::move(responder));
    if (settings.maxConcurrent > 0 && inFlight >= settings.maxConcurrent) {
        send(id,
             errorAnswer(429, "too_many_concurrent_requests",
                         QObject::tr("more than %1 requests at once").arg(settings.maxConcurrent)));
        return;
    }
    exchanges.value(id)->counted = true;
    ++inFlight;

    if (!settings.apiKey.isEmpty() && request.value("xi-api-key") != settings.apiKey.toUtf8()) {
        finish(id, errorAnswer(401, "invalid_api_key", QObject::tr("invalid API key")));
        return;
    }

    const QUrlQuery query = request.query();
    const QString formatName = query.hasQueryItem(QStringLiteral("output_format"))
                                   ? query.queryItemValue(QStringLiteral("output_format"))
                                   : kDefaultOutputFormat;
    const std::optional<OutputFormat> format = parseOutputFormat(formatName);
    if (!format) {
        finish(id, errorAnswer(400, "invalid_output_format",
                               QObject::tr("unsupported output format %1").arg(formatName)));
        return;
    }

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(request.body(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        finish(id, errorAnswer(
                       400, "invalid_request",
                       parseError.error != QJsonParseError::NoError
                           ? QObject::tr("malformed JSON body: %1").arg(parseError.errorString())
                           : QObject::tr("the JSON body is not an object")));
        return;
    }
    const QJsonObject body = document.object();
    const QJsonValue textValue = body.value(QStringLiteral("text"));
    if (!textValue.isString() || textValue.toString().trimmed().isEmpty()) {
        finish(id, errorAnswer(400, "invalid_request",
                               QObject::tr("\"text\" must be a non-empty string")));
        return;
    }
    double speed = 1.0;
    const QJsonValue settingsValue = body.value(QStringLiteral("voice_settings"));
    if (!settingsValue.isUndefined() && !settingsValue.isNull()) {
        const QJsonValue speedValue = settingsValue.toObject().value(QStringLiteral("speed"));
        if (!settingsValue.isObject() ||
            (!speedValue.isUndefined() &&
             (!speedValue.isDouble() || !(speedValue.toDouble() > 0.0)))) {
            finish(id, errorAnswer(400, "invalid_request",
                                   QObject::tr("\"voice_settings.speed\" must be a positive "
                                               "number")));
            return;
        }
        if (speedValue.isDouble())
            speed = speedValue.toDouble();
    }

    const QString text = textValue.toString();
    const VoiceProfile voice = SpeechEngine::voiceForId(voiceId);
    const OutputFormat chosen = *format;
    workers.start([this, id, text, voice, speed, chosen] {
        Answer answer = render(engine, text, voice, speed, chosen);
        QMetaObject::invokeMethod(
            this, [this, id, answer = std::move(answer)]() mutable { finish(id, answer); },
            Qt::QueuedConnection);
    });
}

void SpeechServer::finish(quint64 id, Answer answer) {
    if (settings.latencyMs <= 0) {
        send(id, answer);
        return;
    }
    // A timer, not a sleep: other requests keep being served meanwhile.
    QTimer::singleShot(settings.latencyMs, this,
                       [this, id, answer = std::move(answer)] { send(id, answer); });
}

void SpeechServer::send(quint64 id, const Answer& answer) {
    const std::shared_ptr<Exchange> exchange = exchanges.take(id);
    if (!exchange)
        return;
    if (exchange->counted)
        --inFlight;
    // The client may have hung up while the answer was being made.
    const bool connected =
        exchange->socket && exchange->socket->state() == QAbstractSocket::ConnectedState;
    if (connected)
        exchange->responder.write(answer.body, answer.contentType,
                                  static_cast<QHttpServerResponder::StatusCode>(answer.status));
    QTextStream(stderr) << QObject::tr("%1 %2 %3 %4 ms%5")
                               .arg(QString::fromLatin1(exchange->method), exchange->path)
                               .arg(answer.status)
                               .arg(exchange->clock.elapsed())
                               .arg(connected ? QString() : QObject::tr(" (client gone)"))
                        << '\n';
}

} // namespace lyrane
