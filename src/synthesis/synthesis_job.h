#pragma once

#include "synthesis/elevenlabs_client.h"

#include <functional>
#include <memory>

class QObject;

namespace lyrane {

// How a failed request is tried again.
struct RetryPolicy {
    int retries = 0; // 0: no second attempt
};

// The wait before retry `attempt` (counted from 1): the service's Retry-After when it sent
// one, else an exponential back-off of about 1 s, 2 s, 4 s ... with jitter, both capped.
int retryDelayMs(int attempt, int retryAfterMs);

// Calls off a pending retry: a synthesis that is waiting to try again finishes at once with an
// abandoned result; a request in flight is left to finish.
class RetryHandle {
public:
    virtual ~RetryHandle() = default;
    virtual void cancelPendingRetry() = 0;
};

// One synthesis, tried again after transient failures (429, 5xx, time-outs, network errors).
// `onRetry` is told about each wait before it starts; `mayRetry` can veto a retry (the run
// is stopping). `done` runs exactly once with the final result.
std::shared_ptr<RetryHandle>
synthesizeWithRetries(const ElevenLabsClient& client, const TtsRequest& request,
                      const QString& apiKey, RetryPolicy policy, QObject* context,
                      std::function<bool()> mayRetry,
                      std::function<void(int delayMs, int attempt, const QString& message)> onRetry,
                      std::function<void(const SynthesisResult&)> done);

} // namespace lyrane
