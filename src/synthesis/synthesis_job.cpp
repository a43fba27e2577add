#include "synthesis/synthesis_job.h"

#include <QObject>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace lyrane {

namespace {
constexpr int kFirstBackoffMs = 1000;
constexpr int kMaxDelayMs = 60000;

struct RetryState : RetryHandle {
    const ElevenLabsClient* client;
    TtsRequest request;
    QString apiKey;
    RetryPolicy policy;
    QObject* context;
    std::function<bool()> mayRetry;
    std::function<void(int, int, const QString&)> onRetry;
    std::function<void(const SynthesisResult&)> done;
    int attempt = 0;
    QTimer* waiting = nullptr;
    bool finished = false;

    void finish(const SynthesisResult& result) {
        if (!finished) {
            finished = true;
            done(result);
        }
    }

    void cancelPendingRetry() override {
        if (waiting == nullptr) {
            return;
        }
        delete waiting;
        waiting = nullptr;
        SynthesisResult abandoned;
        abandoned.abandoned = true;
        abandoned.error = QObject::tr("TTS request failed: retry called off");
        finish(abandoned);
    }
};

void attempt(const std::shared_ptr<RetryState>& state) {
    state->client->synthesizeAsync(
        state->request, state->apiKey, state->context, [state](const SynthesisResult& result) {
            const bool canRetry = !result.audio && result.retryable &&
                                  state->attempt < state->policy.retries &&
                                  (!state->mayRetry || state->mayRetry());
            if (!canRetry) {
                state->finish(result);
                return;
            }
            ++state->attempt;
            const int delay = retryDelayMs(state->attempt, result.retryAfterMs);
            if (state->onRetry) {
                state->onRetry(delay, state->attempt, result.error);
            }
            auto* timer = new QTimer(state->context);
            timer->setSingleShot(true);
            state->waiting = timer;
            QObject::connect(timer, &QTimer::timeout, state->context, [state] {
                state->waiting->deleteLater();
                state->waiting = nullptr;
                if (state->mayRetry && !state->mayRetry()) {
                    SynthesisResult abandoned;
                    abandoned.abandoned = true;
                    abandoned.error = QObject::tr("TTS request failed: retry called off");
                    state->finish(abandoned);
                    return;
                }
                attempt(state);
            });
            timer->start(delay);
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

std::shared_ptr<RetryHandle>
synthesizeWithRetries(const ElevenLabsClient& client, const TtsRequest& request,
                      const QString& apiKey, RetryPolicy policy, QObject* context,
                      std::function<bool()> mayRetry,
                      std::function<void(int, int, const QString&)> onRetry,
                      std::function<void(const SynthesisResult&)> done) {
    auto state = std::make_shared<RetryState>();
    state->client = &client;
    state->request = request;
    state->apiKey = apiKey;
    state->policy = policy;
    state->context = context;
    state->mayRetry = std::move(mayRetry);
    state->onRetry = std::move(onRetry);
    state->done = std::move(done);
    attempt(state);
    return state;
}

} // namespace lyrane
