#include "synthesis/retry_policy.h"

#include <QRandomGenerator>

#include <algorithm>

namespace lyrane {

namespace {
constexpr int kFirstBackoffMs = 1000;
constexpr int kMaxDelayMs = 60000;
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

RetryDecision decideRetry(const SynthesisResult& result, int attemptsMade,
                          const RetryPolicy& policy) {
    if (result.audio) {
        return RetryDecision::Succeeded;
    }
    if (result.retryable && attemptsMade <= policy.retries) {
        return RetryDecision::RetryAfterDelay;
    }
    return RetryDecision::GiveUp;
}

} // namespace lyrane
