#pragma once

#include "synthesis/models.h"
#include "synthesis/service_errors.h"
#include "synthesis/voice_settings.h"
#include "synthesis/word_alignment.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <functional>
#include <optional>

class QNetworkAccessManager;
class QObject;

namespace lyrane {

struct TtsRequest {
    QString text;
    QString voiceId;
    QString previousText;
    QString nextText;
    QString outputFormat = QStringLiteral("pcm_44100");
    double speed = 1.0;
    VoiceSettings voiceSettings; // model, language, settings and seed; defaults send nothing new
    bool withTimestamps = false; // the with-timestamps route: the same body, audio and alignment
};

// The outcome of one synthesis exchange.
struct SynthesisResult {
    std::optional<QByteArray> audio; // engaged on success
    QString error;                   // set on failure
    bool retryable = false;          // 429, 5xx, time-out or network failure
    int retryAfterMs = -1;           // from a Retry-After header, -1 when absent
    int httpStatus = 0;              // 0 when no HTTP answer arrived
    ServiceErrorReason reason = ServiceErrorReason::None; // the service's reason for a refusal
    int maximumConcurrentRequests = -1;     // from the "maximum-concurrent-requests" header
    qint64 characterCost = -1;              // from "character-cost" on success, -1 when absent
    QString requestId;                      // from "request-id" on success
    std::optional<WordAlignment> alignment; // with timestamps, on success
};

// Talks to the speech service. The client owns no global state: the caller lends it the one
// network access manager of the run, so several requests can share connections and be in
// flight at once.
class ElevenLabsClient {
public:
    static constexpr const char* kDefaultBaseUrl = "https://api.elevenlabs.io";
    static constexpr const char* kModelId = kDefaultModelId;

    ElevenLabsClient(QNetworkAccessManager* manager, const QString& baseUrl);

    static const QHash<QString, QString>& voiceMap();
    static QString voiceIdForName(const QString& name);
    // `configured` (LYRANE_API_URL), or the cloud's address when it is empty; a trailing "/"
    // is dropped.
    static QString serviceAddress(const QString& configured);

    // 0 disables the time-out; otherwise a request that transfers nothing for that long fails.
    void setTransferTimeoutMs(int ms) { transferTimeoutMs = ms; }
    QString baseUrl() const { return serviceBaseUrl; }

    // Starts one request; `done` runs once, from the event loop, after the reply has finished.
    // `context` bounds the callback's lifetime, as with QObject::connect.
    void synthesizeAsync(const TtsRequest& request, const QString& apiKey, QObject* context,
                         std::function<void(const SynthesisResult&)> done) const;

    // The JSON body for a request, compact, members sorted by key.
    static QByteArray requestBody(const TtsRequest& request);

private:
    QNetworkAccessManager* manager;
    QString serviceBaseUrl;
    int transferTimeoutMs = 0;
};

} // namespace lyrane
