#include "synthesis_job.h"

#include <QObject>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace lyrane {

namespace {
constexpr int kFirstBackoffMs = 1000;
constexpr int kMaxDelayMs = 60000;

struct RetryState {
    const ElevenLabsClient* client;
    TtsRequest request;
    QString apiKey;
    RetryPolicy policy;
    QObject* context;
    std::function<bool()> mayRetry;
    std::function<void(int, int, const QString&)> onRetry;
    std::function<void(const SynthesisResult&)> done;
    int attempt = 0;
};

void attempt(const std::shared_ptr<RetryState>& state) {
    state->client->synthesizeAsync(
        state->request, state->apiKey, state->context, [state](const SynthesisResult& result) {
            const bool canRetry = !result.audio && result.retryable &&
                                  state->attempt < state->policy.retries &&
                                  (!state->mayRetry || state->mayRetry());
            if (!canRetry) {
                state->done(result);
                return;
            }
            ++state->attempt;
            const int delay = retryDelayMs(state->attempt, result.retryAfterMs);
            if (state->onRetry) {
                state->onRetry(delay, state->attempt, result.error);
            }
            QTimer::singleShot(delay, state->context, [state] {
                if (state->mayRetry && !state->mayRetry()) {
                    SynthesisResult abandoned;
                    abandoned.error = QObject::tr("TTS request failed: run stopped");
                    state->done(abandoned);
                    return;
                }
                attempt(state);
            });
        });
}
} // namespace

int retryDelayMs(int attempt, int retryAfterMs) {
    if (retryAfterMs >= 0) {
        return std::min(retryAfterMs, kMaxDelayMs);
    }
    const qint64 base = qint64(kFirstBackoffMs) << std::clamp(attempt - 1, 0, 16);
    // +-20 % keeps many clients that failed together from coming back together.
    const double jitter = 0.8 + 0.4 * QRandomGenerator::global()->generateDouble();
    return int(std::min<qint64>(qint64(double(base) * jitter), kMaxDelayMs));
}

void synthesizeWithRetries(const ElevenLabsClient& client, const TtsRequest& request,
                           const QString& apiKey, RetryPolicy policy, QObject* context,
                           std::function<bool()> mayRetry,
                           std::function<void(int, int, const QString&)> onRetry,
                           std::function<void(const SynthesisResult&)> done) {
    auto state = std::make_shared<RetryState>(RetryState{&client, request, apiKey, policy, context,
                                                         std::move(mayRetry), std::move(onRetry),
                                                         std::move(done)});
    attempt(state);
}

} // namespace lyrane
