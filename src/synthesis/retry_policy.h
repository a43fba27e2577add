#pragma once

#include "synthesis/elevenlabs_client.h"

#include <functional>

namespace lyrane {

// The wait before retry `attempt` (counted from 1): the service's Retry-After when it sent
// one, else an exponential back-off of about 1 s, 2 s, 4 s ... with jitter, both capped.
int retryDelayMs(int attempt, int retryAfterMs);

// How a failed request is tried again.
struct RetryPolicy {
    int retries = 0; // 0: no second attempt
    std::function<int(int attempt, int retryAfterMs)> delayMs = retryDelayMs;
};

// What to do with the result of one attempt.
enum class RetryDecision {
    Succeeded,
    RetryAfterDelay, // transient failure (429, 5xx, time-out, network) with retries left
    GiveUp,
};

// `attemptsMade` counts the attempt that gave `result`.
RetryDecision decideRetry(const SynthesisResult& result, int attemptsMade,
                          const RetryPolicy& policy);

} // namespace lyrane
