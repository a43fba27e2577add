#include "synthesis/service_errors.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QStringList>

namespace lyrane {

namespace {

constexpr int kMinimumSecretLength = 6;
// A message is one line of a console report, not a page.
constexpr qsizetype kMaximumTextLength = 500;
// A body quoted whole, such as a page in place of audio, is cut shorter.
constexpr qsizetype kMaximumQuotedLength = 200;

const QString kRedacted = QStringLiteral("[API key]");

// At most `length` UTF-16 units, never half a character; true when something was cut.
bool cutTo(QString* line, qsizetype length) {
    if (line->size() <= length) {
        return false;
    }
    line->truncate(length);
    if (line->back().isHighSurrogate()) {
        line->chop(1);
    }
    return true;
}

QString oneLine(const QString& text, const QString& apiKey) {
    QString line = withoutSecret(text, apiKey).simplified();
    if (cutTo(&line, kMaximumTextLength)) {
        line += QChar(0x2026);
    }
    return line;
}

QString textOf(const QJsonValue& value) {
    if (value.isString()) {
        return value.toString();
    }
    if (value.isDouble()) {
        return QString::number(value.toDouble());
    }
    return {};
}

// "body.voice_settings.stability" from ["body","voice_settings","stability"].
QString locationText(const QJsonValue& location) {
    if (!location.isArray()) {
        return textOf(location);
    }
    QStringList parts;
    for (const QJsonValue& part : location.toArray()) {
        const QString text = textOf(part);
        if (!text.isEmpty()) {
            parts.append(text);
        }
    }
    return parts.join(QLatin1Char('.'));
}

} // namespace

QString withoutSecret(const QString& text, const QString& secret) {
    const QString key = secret.trimmed();
    if (key.size() < kMinimumSecretLength) {
        return text;
    }
    QString result = text;
    return result.replace(key, kRedacted);
}

QString serviceText(const QString& text, const QString& apiKey) {
    // The key goes before the cut, so no part of it is left at the end.
    QString line = withoutSecret(text, apiKey).simplified();
    cutTo(&line, kMaximumQuotedLength);
    return line;
}

QString refusalText(int httpStatus, const QByteArray& body, const QString& apiKey) {
    const ServiceError error = parseServiceError(httpStatus, body, apiKey);
    QStringList said;
    for (const QString& part : {error.status, error.message}) {
        if (!part.isEmpty()) {
            said.append(part);
        }
    }
    return said.isEmpty() ? serviceText(QString::fromUtf8(body), apiKey)
                          : said.join(QLatin1String(": "));
}

ServiceErrorReason serviceErrorReasonFor(const QString& status) {
    static const struct {
        const char* status;
        ServiceErrorReason reason;
    } kReasons[] = {
        {"invalid_api_key", ServiceErrorReason::InvalidApiKey},
        {"quota_exceeded", ServiceErrorReason::QuotaExceeded},
        {"output_format_not_allowed", ServiceErrorReason::OutputFormatNotAllowed},
        {"voice_not_found", ServiceErrorReason::VoiceNotFound},
        {"max_character_limit_exceeded", ServiceErrorReason::MaxCharacterLimitExceeded},
        {"too_many_concurrent_requests", ServiceErrorReason::TooManyConcurrentRequests},
        {"system_busy", ServiceErrorReason::SystemBusy},
    };
    if (status.isEmpty()) {
        return ServiceErrorReason::None;
    }
    for (const auto& entry : kReasons) {
        if (status == QLatin1String(entry.status)) {
            return entry.reason;
        }
    }
    return ServiceErrorReason::Other;
}

ServiceError parseServiceError(int httpStatus, const QByteArray& body, const QString& apiKey) {
    ServiceError error;
    error.httpStatus = httpStatus;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject()) {
        return error;
    }
    const QJsonObject root = document.object();
    const QJsonValue detail = root.value(QLatin1String("detail"));
    if (detail.isArray()) {
        const QJsonObject first = detail.toArray().at(0).toObject();
        error.status = oneLine(locationText(first.value(QLatin1String("loc"))), apiKey);
        error.message = oneLine(textOf(first.value(QLatin1String("msg"))), apiKey);
        if (!error.status.isEmpty() || !error.message.isEmpty()) {
            error.reason = ServiceErrorReason::InvalidRequest;
        }
        return error;
    }
    if (detail.isString()) {
        error.message = oneLine(detail.toString(), apiKey);
        error.reason =
            error.message.isEmpty() ? ServiceErrorReason::None : ServiceErrorReason::Other;
        return error;
    }
    // 5xx answers come without the "detail" wrapper.
    const QJsonObject reason = detail.isObject() ? detail.toObject() : root;
    const QString status = textOf(reason.value(QLatin1String("status")));
    error.reason = serviceErrorReasonFor(status);
    error.status = oneLine(status, apiKey);
    error.message = oneLine(textOf(reason.value(QLatin1String("message"))), apiKey);
    if (error.reason == ServiceErrorReason::None && !error.message.isEmpty()) {
        error.reason = ServiceErrorReason::Other;
    }
    return error;
}

QString serviceErrorDetail(const ServiceError& error) {
    if (!error.status.isEmpty() && !error.message.isEmpty()) {
        return QStringLiteral(" (%1: %2)").arg(error.status, error.message);
    }
    const QString only = error.status.isEmpty() ? error.message : error.status;
    return only.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(only);
}

QString serviceFailureMessage(const QString& httpLayerText, const ServiceError& error,
                              const QString& apiKey) {
    return QObject::tr("TTS request failed: %1").arg(withoutSecret(httpLayerText, apiKey)) +
           serviceErrorDetail(error);
}

QString serviceErrorTip(ServiceErrorReason reason, const ServiceErrorContext& context) {
    switch (reason) {
    case ServiceErrorReason::InvalidApiKey:
        return QObject::tr("TIP: the service does not accept the API key read from %1; put a "
                           "current key of your account there")
            .arg(context.keySource);
    case ServiceErrorReason::QuotaExceeded:
        return QObject::tr("TIP: the account's credits are spent; run again once they are "
                           "renewed or topped up: finished clips are kept in the cache");
    case ServiceErrorReason::OutputFormatNotAllowed:
        return QObject::tr("TIP: the account's plan does not allow this output format; use "
                           "--format pcm_24000 or --format mp3_44100_128");
    case ServiceErrorReason::VoiceNotFound:
        return QObject::tr("TIP: the account has no such voice; --list-voices shows the ones "
                           "it can use");
    case ServiceErrorReason::MaxCharacterLimitExceeded:
        return QObject::tr("TIP: %1 is longer than the model takes in one request; shorten it "
                           "or split it")
            .arg(context.cueLabel);
    case ServiceErrorReason::TooManyConcurrentRequests:
        return QObject::tr("TIP: the account's plan allows fewer requests at once; lower --jobs");
    case ServiceErrorReason::SystemBusy:
        return QObject::tr("TIP: the service is busy; try again later, or raise --retries");
    case ServiceErrorReason::None:
    case ServiceErrorReason::InvalidRequest:
    case ServiceErrorReason::Other:
        break;
    }
    return {};
}

int parseMaximumConcurrentRequests(const QByteArray& headerValue) {
    bool ok = false;
    const int count = headerValue.trimmed().toInt(&ok);
    return ok && count > 0 ? count : -1;
}

} // namespace lyrane
