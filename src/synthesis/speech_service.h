#pragma once

#include "synthesis/elevenlabs_client.h"

#include <QString>

#include <functional>

class QObject;

namespace lyrane {

// Where clips that no cache holds come from: one attempt per call. `done` runs once, from the
// event loop; ending `context` ends the request and drops the callback.
class SpeechService {
public:
    virtual ~SpeechService() = default;
    virtual void synthesize(const TtsRequest& request, QObject* context,
                            std::function<void(const SynthesisResult&)> done) = 0;
};

// The speech service over HTTP, with the run's key.
class ElevenLabsSpeechService final : public SpeechService {
public:
    ElevenLabsSpeechService(const ElevenLabsClient& client, const QString& apiKey)
        : client(client), apiKey(apiKey) {}

    void synthesize(const TtsRequest& request, QObject* context,
                    std::function<void(const SynthesisResult&)> done) override {
        client.synthesizeAsync(request, apiKey, context, std::move(done));
    }

private:
    const ElevenLabsClient& client;
    QString apiKey;
};

} // namespace lyrane
