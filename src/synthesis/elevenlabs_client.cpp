#include "synthesis/elevenlabs_client.h"
#include "synthesis/built_in_voices.h"
#include "synthesis/output_formats.h"
#include "synthesis/timed_answer.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

namespace lyrane {

namespace {

const char* const kTierTip = QT_TRANSLATE_NOOP(
    "QObject", "\n\nTIP: PCM format requires a Pro tier subscription. Try using MP3 format "
               "instead with --format mp3_44100");

// Retry-After is either delta-seconds or an HTTP date.
int parseRetryAfter(const QByteArray& header) {
    const QByteArray value = header.trimmed();
    if (value.isEmpty()) {
        return -1;
    }
    bool ok = false;
    const qlonglong seconds = value.toLongLong(&ok);
    if (ok) {
        if (seconds < 0) {
            return -1;
        }
        return int(std::min<qlonglong>(seconds, std::numeric_limits<int>::max() / 1000) * 1000);
    }
    // Servers send the fixed GMT form, which the RFC 2822 parser refuses; numeric zones go there.
    const QString text = QString::fromLatin1(value).simplified();
    const QDateTime gmt =
        QLocale::c().toDateTime(text, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"));
    const QDateTime when = gmt.isValid() ? QDateTime(gmt.date(), gmt.time(), Qt::UTC)
                                         : QDateTime::fromString(text, Qt::RFC2822Date);
    if (!when.isValid()) {
        return -1;
    }
    const qint64 ms = QDateTime::currentDateTimeUtc().msecsTo(when);
    return int(std::clamp<qint64>(ms, 0, std::numeric_limits<int>::max()));
}

bool networkErrorIsTransient(QNetworkReply::NetworkError code) {
    switch (code) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    // Only the transfer time-out cancels our replies; nothing here calls abort().
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::UnknownProxyError:
        return true;
    default:
        return false;
    }
}

bool statusIsTransient(int status) {
    return status == 429 || (status >= 500 && status <= 599);
}

// An error page sent with status 200 must not be stored as a clip.
bool contentTypeIsNotAudio(const QString& mimeType) {
    return mimeType == QLatin1String("application/json") ||
           mimeType.endsWith(QLatin1String("+json")) || mimeType.startsWith(QLatin1String("text/"));
}

SynthesisResult resultFromReply(QNetworkReply* reply, const QString& apiKey, bool timed) {
    SynthesisResult result;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.retryAfterMs = parseRetryAfter(reply->rawHeader("Retry-After"));
    result.httpStatus = status;
    result.maximumConcurrentRequests =
        parseMaximumConcurrentRequests(reply->rawHeader("maximum-concurrent-requests"));

    if (reply->error() != QNetworkReply::NoError) {
        const ServiceError refusal = parseServiceError(status, reply->readAll(), apiKey);
        result.reason = refusal.reason;
        result.error = serviceFailureMessage(reply->errorString(), refusal, apiKey);
        result.retryable =
            status != 0 ? statusIsTransient(status) : networkErrorIsTransient(reply->error());
        return result;
    }

    QByteArray body = reply->readAll();
    if (status == 0 || status == 200) {
        const QString mimeType = QString::fromLatin1(reply->rawHeader("Content-Type"))
                                     .section(QLatin1Char(';'), 0, 0)
                                     .trimmed()
                                     .toLower();
        if (timed) {
            QString error;
            std::optional<TimedAnswer> answer = parseTimedAnswer(body, &error);
            if (!answer) {
                result.error = QObject::tr("TTS request failed: %1").arg(error);
                return result;
            }
            result.alignment = std::move(answer->alignment);
            body = std::move(answer->audio);
        } else if (contentTypeIsNotAudio(mimeType)) {
            result.error = QObject::tr("TTS request failed: unexpected content type %1: %2")
                               .arg(mimeType, serviceText(QString::fromUtf8(body), apiKey));
            return result;
        }
        if (body.isEmpty()) {
            result.error = QObject::tr("TTS request failed: empty audio response");
            return result;
        }
        result.audio = body;
        bool costRead = false;
        const qint64 cost = reply->rawHeader("character-cost").trimmed().toLongLong(&costRead);
        result.characterCost = costRead && cost >= 0 ? cost : -1;
        result.requestId = QString::fromLatin1(reply->rawHeader("request-id").trimmed());
        return result;
    }

    const QString text = serviceText(QString::fromUtf8(body), apiKey);
    result.error = QObject::tr("TTS request failed (HTTP %1): %2").arg(status).arg(text);
    if (status == 401 || status == 403 ||
        text.contains(QLatin1String("tier"), Qt::CaseInsensitive) ||
        text.contains(QLatin1String("subscription"), Qt::CaseInsensitive)) {
        result.error += QObject::tr(kTierTip);
    }
    result.retryable = statusIsTransient(status);
    return result;
}

QString withoutTrailingSlashes(QString url) {
    while (url.endsWith(QLatin1Char('/'))) {
        url.chop(1);
    }
    return url;
}

} // namespace

ElevenLabsClient::ElevenLabsClient(QNetworkAccessManager* manager, const QString& baseUrl)
    : manager(manager), serviceBaseUrl(withoutTrailingSlashes(baseUrl.trimmed())) {}

const QHash<QString, QString>& ElevenLabsClient::voiceMap() {
    static const QHash<QString, QString> map = [] {
        QHash<QString, QString> voices;
        for (const BuiltInVoice& voice : kBuiltInVoices) {
            voices.insert(QString::fromLatin1(voice.name), QString::fromLatin1(voice.id));
        }
        return voices;
    }();
    return map;
}

QString ElevenLabsClient::voiceIdForName(const QString& name) {
    const QString trimmed = name.trimmed();
    const QString id = voiceMap().value(trimmed);
    return id.isEmpty() ? trimmed : id;
}

QString ElevenLabsClient::serviceAddress(const QString& configured) {
    return withoutTrailingSlashes(configured.isEmpty() ? QString::fromLatin1(kDefaultBaseUrl)
                                                       : configured);
}

QByteArray ElevenLabsClient::requestBody(const TtsRequest& request) {
    QJsonObject body;
    body.insert(QStringLiteral("text"), request.text);
    if (!request.previousText.isEmpty()) {
        body.insert(QStringLiteral("previous_text"), request.previousText);
    }
    if (!request.nextText.isEmpty()) {
        body.insert(QStringLiteral("next_text"), request.nextText);
    }
    addVoiceSettingsToBody(&body, request.speed, request.voiceSettings);
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

void ElevenLabsClient::synthesizeAsync(const TtsRequest& request, const QString& apiKey,
                                       QObject* context,
                                       std::function<void(const SynthesisResult&)> done) const {
    // Results that need no reply are still delivered from the event loop, as promised.
    const auto deliverLater = [&](SynthesisResult result) {
        QObject* target = context ? context : static_cast<QObject*>(manager);
        auto call = [done = std::move(done), result = std::move(result)]() {
            done(result);
        };
        if (target) {
            QMetaObject::invokeMethod(target, std::move(call), Qt::QueuedConnection);
        } else {
            QTimer::singleShot(0, std::move(call));
        }
    };

    if (request.text.trimmed().isEmpty()) {
        SynthesisResult result;
        result.audio = QByteArray();
        if (request.withTimestamps) {
            result.alignment = WordAlignment();
        }
        deliverLater(std::move(result));
        return;
    }
    if (!manager) {
        SynthesisResult result;
        result.error =
            QObject::tr("TTS request failed: %1").arg(QObject::tr("no network access manager"));
        deliverLater(std::move(result));
        return;
    }

    QUrl url(serviceBaseUrl);
    // Decoded mode: the identifier goes into the path as given, encoded where it must be.
    url.setPath(url.path() + QStringLiteral("/v1/text-to-speech/") + request.voiceId +
                    (request.withTimestamps ? QStringLiteral("/with-timestamps") : QString()),
                QUrl::DecodedMode);
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("output_format"), request.outputFormat);
    url.setQuery(query);

    QNetworkRequest networkRequest(url);
    networkRequest.setRawHeader("Content-Type", "application/json");
    networkRequest.setRawHeader("Accept", request.withTimestamps ? "application/json"
                                          : outputFormatIsMp3(request.outputFormat) ? "audio/mpeg"
                                                                                    : "audio/pcm");
    networkRequest.setRawHeader("xi-api-key", apiKey.toUtf8());
    networkRequest.setTransferTimeout(transferTimeoutMs);

    QNetworkReply* reply = manager->post(networkRequest, requestBody(request));
    auto fired = std::make_shared<bool>(false);
    const bool timed = request.withTimestamps;
    auto finish = [reply, fired, apiKey, timed, done = std::move(done)]() {
        if (*fired) {
            return;
        }
        *fired = true;
        const SynthesisResult result = resultFromReply(reply, apiKey, timed);
        reply->deleteLater();
        done(result);
    };
    QObject* target = context ? context : static_cast<QObject*>(reply);
    QObject::connect(reply, &QNetworkReply::finished, target, finish);
    if (reply->isFinished()) {
        QMetaObject::invokeMethod(target, finish, Qt::QueuedConnection);
    }
    if (context) {
        // Without a receiver the callback never runs, so the reply must not outlive it either.
        QObject::connect(context, &QObject::destroyed, reply, [reply, fired]() {
            if (!*fired) {
                *fired = true;
                reply->abort();
                reply->deleteLater();
            }
        });
    }
}

} // namespace lyrane
