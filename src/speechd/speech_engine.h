#pragma once

#include "audio/audio_buffer.h"

#include <QByteArray>
#include <QString>

#include <sys/types.h>

#include <mutex>
#include <optional>

namespace lyrane {

// How one voice identifier sounds: an espeak-ng voice name (language plus variant) and the
// pitch settings laid over it.
struct VoiceProfile {
    QByteArray espeakName;
    int pitch = 50; // espeak-ng base pitch, 0 to 100
    int range = 50; // espeak-ng pitch range, 0 to 100
};

// Offline speech synthesis with espeak-ng.
//
// espeak-ng keeps process-wide state that carries over from one utterance to the next (pitch
// flutter phase, echo and noise generators), so two syntheses of the same text in one process
// differ. The engine therefore runs espeak-ng in a helper process that initialises it once and
// never speaks itself: every utterance is spoken by a fresh fork of that helper, which starts
// from the same state each time and so gives the same samples for the same settings. The
// helper is single-threaded, so forking it is safe; calls into the engine are serialized.
class SpeechEngine {
public:
    static constexpr int kSampleRate = 22050; // espeak-ng's output rate
    static constexpr int kNormalRate = 175;   // espeak-ng words per minute at speed 1.0

    SpeechEngine() = default;
    ~SpeechEngine();
    SpeechEngine(const SpeechEngine&) = delete;
    SpeechEngine& operator=(const SpeechEngine&) = delete;

    // Starts the helper process. Call it while the program still has a single thread.
    bool start(QString* error);

    // The voice for a service voice identifier: the four built-in identifiers have voices of
    // their own, any other identifier gets one picked from it, the same one every time.
    static VoiceProfile voiceForId(const QString& voiceId);

    // Speaks `text` at `speed` times the normal rate; mono at kSampleRate. Thread-safe.
    std::optional<AudioBuffer> synthesize(const QString& text, const VoiceProfile& voice,
                                          double speed, QString* error);

private:
    void stop();

    std::mutex mutex; // one utterance at a time through the helper's socket
    int socketFd = -1;
    pid_t helperPid = -1;
};

} // namespace lyrane
