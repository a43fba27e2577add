#include "speech_server.h"

#include "audio/mp3_codec.h"
#include "audio/resampling.h"
#include "audio/wav_file.h"
#include "speech_engine.h"
#include "spoken_alignment.h"
#include "synthesis_request.h"
#include "telephone_encoding.h"
#include "voice_catalog.h"

#include <QDateTime>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <QTcpSocket>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>
#include <QUuid>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace lyrane {

using namespace speechd;

namespace {

constexpr qint64 kBillingPeriodSeconds = 30 * 24 * 3600;

// A canonical 16-bit mono PCM WAV file around `pcm`.
// A canonical 16-bit mono PCM WAV file around `pcm`.
QByteArray wavFile(const QByteArray& pcm, int sampleRate) {
    QByteArray header;
    makeWavHeader(pcm.size() / 2, sampleRate, &header, nullptr);
    return header + pcm;
}
// Runs on a worker thread: the engine serializes the synthesis itself, while resampling and
// encoding of different requests may overlap.
Answer renderAudio(const AudioBuffer& speech, const OutputFormat& format) {
    QString error;
    std::optional<AudioBuffer> audio = speech;
    if (speech.sampleRate != format.sampleRate)
        audio = resample(speech, format.sampleRate, &error);
    if (!audio)
        return errorAnswer(500, "synthesis_failed", error);

    switch (format.kind) {
    case OutputFormat::Kind::Pcm:
        return {200, QByteArrayLiteral("audio/pcm"), toPcm16Bytes(*audio), {}};
    case OutputFormat::Kind::Wav:
        return {200,
                QByteArrayLiteral("audio/wav"),
                wavFile(toPcm16Bytes(*audio), format.sampleRate),
                {}};
    case OutputFormat::Kind::Ulaw:
    case OutputFormat::Kind::Alaw: {
        const bool muLaw = format.kind == OutputFormat::Kind::Ulaw;
        const std::optional<QByteArray> bytes =
            encodeTelephone(*audio, muLaw ? TelephoneLaw::MuLaw : TelephoneLaw::ALaw, &error);
        if (!bytes)
            return errorAnswer(500, "synthesis_failed", error);
        return {200,
                muLaw ? QByteArrayLiteral("audio/basic") : QByteArrayLiteral("audio/x-alaw"),
                *bytes,
                {}};
    }
    case OutputFormat::Kind::Mp3:
    case OutputFormat::Kind::Opus:
        break;
    }
    const std::optional<QByteArray> mp3 = encodeMp3ToBytes(*audio, format.bitRate, &error);
    if (!mp3)
        return errorAnswer(500, "synthesis_failed", error);
    return {200, QByteArrayLiteral("audio/mpeg"), *mp3, {}};
}

// The with-timestamps route answers the same audio in JSON, with espeak-ng's word times.
Answer render(SpeechEngine& engine, const QString& text, const VoiceProfile& voice, double speed,
              const OutputFormat& format, bool timed) {
    QString error;
    const std::optional<SpokenText> spoken = engine.speak(text, voice, speed, &error);
    if (!spoken)
        return errorAnswer(500, "synthesis_failed", error);
    Answer answer = renderAudio(spoken->audio, format);
    if (!timed || answer.status != 200)
        return answer;
    const AudioBuffer& audio = spoken->audio;
    const double seconds =
        audio.sampleRate > 0 ? double(audio.samples.size()) / audio.sampleRate : 0.0;
    const QJsonObject alignment = spokenAlignment(text, *spoken, seconds);
    answer.body = QJsonDocument(QJsonObject{
                                    {QStringLiteral("audio_base64"),
                                     QString::fromLatin1(answer.body.toBase64())},
                                    {QStringLiteral("alignment"), alignment},
                                    {QStringLiteral("normalized_alignment"), alignment},
                                })
                      .toJson(QJsonDocument::Compact);
    answer.contentType = QByteArrayLiteral("application/json");
    return answer;
}

Answer invalidKey() {
    return errorAnswer(401, "invalid_api_key", QObject::tr("Invalid API key"));
}

} // namespace

SpeechServer::SpeechServer(SpeechEngine& engine, const SpeechServerSettings& settings,
                           QObject* parent)
    : QObject(parent), engine(engine), settings(settings),
      creditLimit(settings.credits.value_or(kUnlimitedCredits)),
      resetUnix(QDateTime::currentSecsSinceEpoch() + kBillingPeriodSeconds) {
    workers.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    http.route(QStringLiteral("/v1/text-to-speech/<arg>"), QHttpServerRequest::Method::Post,
               [this](const QString& voiceId, const QHttpServerRequest& request,
                      QHttpServerResponder&& responder) {
                   handleSynthesis(voiceId, request, std::move(responder), false);
               });
    http.route(QStringLiteral("/v1/text-to-speech/<arg>/with-timestamps"),
               QHttpServerRequest::Method::Post,
               [this](const QString& voiceId, const QHttpServerRequest& request,
                      QHttpServerResponder&& responder) {
                   handleSynthesis(voiceId, request, std::move(responder), true);
               });
    http.route(QStringLiteral("/v1/voices"), QHttpServerRequest::Method::Get,
               [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                   handleVoices(request, std::move(responder));
               });
    http.route(QStringLiteral("/v1/user/subscription"), QHttpServerRequest::Method::Get,
               [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                   handleSubscription(request, std::move(responder));
               });
    http.route(QStringLiteral("/v1/pronunciation-dictionaries"), QHttpServerRequest::Method::Get,
               [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                   handleDictionaries(request, std::move(responder));
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

bool SpeechServer::keyAccepted(const QHttpServerRequest& request) const {
    return settings.apiKey.isEmpty() || request.value("xi-api-key") == settings.apiKey.toUtf8();
}

void SpeechServer::handleMissing(const QHttpServerRequest& request,
                                 QHttpServerResponder&& responder) {
    const quint64 id = open(request, std::move(responder));
    finish(id, errorAnswer(404, "not_found",
                           QObject::tr("no such endpoint: %1").arg(request.url().path())));
}

void SpeechServer::handleVoices(const QHttpServerRequest& request,
                                QHttpServerResponder&& responder) {
    const quint64 id = open(request, std::move(responder));
    if (!keyAccepted(request)) {
        finish(id, invalidKey());
        return;
    }
    finish(id, jsonAnswer(QJsonObject{{QStringLiteral("voices"), listedVoicesJson()}}));
}

void SpeechServer::handleDictionaries(const QHttpServerRequest& request,
                                      QHttpServerResponder&& responder) {
    const quint64 id = open(request, std::move(responder));
    if (!keyAccepted(request)) {
        finish(id, invalidKey());
        return;
    }
    finish(id, jsonAnswer(dictionaryListJson(settings.dictionaries)));
}

void SpeechServer::handleSubscription(const QHttpServerRequest& request,
                                      QHttpServerResponder&& responder) {
    const quint64 id = open(request, std::move(responder));
    if (!keyAccepted(request)) {
        finish(id, invalidKey());
        return;
    }
    if (!settings.subscriptionReadable) {
        finish(id, errorAnswer(401, "missing_permissions",
                               QStringLiteral("The API key you used is missing the permission "
                                              "user_read to execute this operation.")));
        return;
    }
    finish(id, jsonAnswer(QJsonObject{
                   {QStringLiteral("tier"), tierName(settings.plan)},
                   {QStringLiteral("character_count"), creditsUsed},
                   {QStringLiteral("character_limit"), creditLimit},
                   {QStringLiteral("can_extend_character_limit"), false},
                   {QStringLiteral("allowed_to_extend_character_limit"), false},
                   {QStringLiteral("next_character_count_reset_unix"), resetUnix},
                   {QStringLiteral("status"), QStringLiteral("active")},
               }));
}

void SpeechServer::handleSynthesis(const QString& voiceId, const QHttpServerRequest& request,
                                   QHttpServerResponder&& responder, bool timed) {
    const quint64 id = open(request, std::move(responder));
    if (!keyAccepted(request)) {
        finish(id, invalidKey());
        return;
    }

    const QUrlQuery query = request.query();
    const QString formatName = query.hasQueryItem(QStringLiteral("output_format"))
                                   ? query.queryItemValue(QStringLiteral("output_format"))
                                   : defaultOutputFormatName();
    const std::optional<OutputFormat> format = parseOutputFormat(formatName);
    if (!format || format->kind == OutputFormat::Kind::Opus) {
        finish(id,
               errorAnswer(400, "invalid_output_format",
                           format ? QObject::tr("output format %1 is not produced by the "
                                                "offline service")
                                        .arg(formatName)
                                  : QObject::tr("unsupported output format %1").arg(formatName)));
        return;
    }

    ParsedRequest parsed = parseSynthesisRequest(request.body());
    if (!parsed.request) {
        finish(id, parsed.refusal);
        return;
    }
    const SynthesisRequest body = std::move(*parsed.request);
    // Billed as written; said with the asked dictionaries' aliases.
    QString text = body.text;
    if (std::optional<Answer> refusal =
            applyDictionaries(settings.dictionaries, body.dictionaries, &text)) {
        finish(id, *refusal);
        return;
    }

    std::optional<VoiceProfile> voice = listedVoice(voiceId);
    if (!voice && settings.strictVoices) {
        finish(id, errorAnswer(
                       400, "voice_not_found",
                       QStringLiteral("A voice with voice_id %1 does not exist.").arg(voiceId)));
        return;
    }
    if (!voice)
        voice = voiceForId(voiceId);

    if (!planAllows(settings.plan, *format)) {
        finish(id,
               errorAnswer(403, "output_format_not_allowed",
                           QStringLiteral("Requested output format %1 is only allowed for %2 "
                                          "tier and above. Your subscription is on the %3 tier.")
                               .arg(formatName, planTitle(minimumPlanFor(*format)),
                                    planTitle(settings.plan))));
        return;
    }

    const qint64 characters = characterCount(body.text);
    if (characters > body.model.characterLimit) {
        finish(id, errorAnswer(400, "max_character_limit_exceeded",
                               QStringLiteral("The text has %1 characters, more than the %2 "
                                              "characters allowed in one request to %3.")
                                   .arg(characters)
                                   .arg(body.model.characterLimit)
                                   .arg(QLatin1String(body.model.id))));
        return;
    }

    // Refusals for load are sent at once: a client waits for them, not for the latency.
    const int limit = settings.maxConcurrent > 0 ? settings.maxConcurrent
                                                 : concurrencyLimit(settings.plan, body.model);
    QList<QPair<QByteArray, QByteArray>> loadHeaders;
    if (limit > 0 && inFlight >= limit) {
        Answer answer = errorAnswer(
            429, "too_many_concurrent_requests",
            QStringLiteral("You have too many concurrent requests (%1 of %2 allowed for your "
                           "plan). Wait for one to finish, then send it again.")
                .arg(inFlight + 1)
                .arg(limit));
        answer.headers = {{"current-concurrent-requests", QByteArray::number(inFlight)},
                          {"maximum-concurrent-requests", QByteArray::number(limit)}};
        send(id, answer);
        return;
    }
    if (settings.busyEvery > 0 && ++busyCount % static_cast<quint64>(settings.busyEvery) == 0) {
        send(id, errorAnswer(429, "system_busy",
                             QStringLiteral("The system is experiencing heavy traffic, please "
                                            "try again. Higher subscriptions have higher "
                                            "priority.")));
        return;
    }

    const qint64 cost = creditsFor(characters, body.model);
    const qint64 remaining = std::max<qint64>(0, creditLimit - creditsUsed);
    if (cost > remaining) {
        finish(id, errorAnswer(401, "quota_exceeded",
                               QStringLiteral("This request exceeds your quota of %1. You have "
                                              "%2 credits remaining, while %3 credits are "
                                              "required for this request.")
                                   .arg(creditLimit)
                                   .arg(remaining)
                                   .arg(cost)));
        return;
    }
    creditsUsed += cost;
    const std::shared_ptr<Exchange> exchange = exchanges.value(id);
    exchange->credits = cost;
    exchange->counted = true;
    ++inFlight;
    if (limit > 0)
        loadHeaders = {{"current-concurrent-requests", QByteArray::number(inFlight)},
                       {"maximum-concurrent-requests", QByteArray::number(limit)}};

    const VoiceProfile styled = styledVoice(*voice, body);
    const double speed = body.settings.speed.value_or(1.0);
    const OutputFormat chosen = *format;
    workers.start([this, id, text, styled, speed, chosen, characters, loadHeaders, timed] {
        Answer answer = render(engine, text, styled, speed, chosen, timed);
        if (answer.status == 200) {
            answer.headers = loadHeaders;
            answer.headers.append({"character-cost", QByteArray::number(characters)});
            answer.headers.append({"request-id", QUuid::createUuid().toByteArray(QUuid::Id128)});
        }
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
    // A request that could not be answered with speech costs nothing.
    if (answer.status != 200)
        creditsUsed -= exchange->credits;
    // The client may have hung up while the answer was being made.
    const bool connected =
        exchange->socket && exchange->socket->state() == QAbstractSocket::ConnectedState;
    if (connected) {
        QHttpServerResponder& responder = exchange->responder;
        responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(answer.status));
        responder.writeHeader("Content-Type", answer.contentType);
        for (const auto& [name, value] : answer.headers)
            responder.writeHeader(name, value);
        responder.writeHeader("Content-Length", QByteArray::number(answer.body.size()));
        responder.writeBody(answer.body);
    }
    QTextStream(stderr) << QObject::tr("%1 %2 %3 %4 ms%5")
                               .arg(QString::fromLatin1(exchange->method), exchange->path)
                               .arg(answer.status)
                               .arg(exchange->clock.elapsed())
                               .arg(connected ? QString() : QObject::tr(" (client gone)"))
                        << '\n';
}

} // namespace lyrane
