#pragma once

#include "audio/audio_buffer.h"

#include <QByteArray>
#include <QString>

#include <sys/types.h>

#include <mutex>
#include <optional>
#include <vector>

namespace lyrane {

// How one voice identifier sounds: an espeak-ng voice name (language plus variant) and the
// pitch settings laid over it.
struct VoiceProfile {
    QByteArray espeakName;
    int pitch = 50;          // espeak-ng base pitch, 0 to 100
    int range = 50;          // espeak-ng pitch range, 0 to 100
    int volume = 100;        // espeak-ng volume, 0 to 200
    QByteArray fallbackName; // spoken with when espeak-ng does not know `espeakName`
};

// Where espeak-ng placed a word: its first character (counted in code points from 0), its
// length in code points, and when it starts, in seconds from the first sample.
struct SpokenWord {
    int position = 0;
    int length = 0;
    double startSeconds = 0;
};

// A synthesis with espeak-ng's own marks: its words, and where its clauses end.
struct SpokenText {
    AudioBuffer audio;
    std::vector<SpokenWord> words;
    std::vector<double> clauseEnds; // seconds
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

    // Speaks `text` at `speed` times the normal rate; mono at kSampleRate. Thread-safe.
    std::optional<AudioBuffer> synthesize(const QString& text, const VoiceProfile& voice,
                                          double speed, QString* error);
    // The same, with espeak-ng's word and clause marks.
    std::optional<SpokenText> speak(const QString& text, const VoiceProfile& voice, double speed,
                                    QString* error);

private:
    void stop();

    std::mutex mutex; // one utterance at a time through the helper's socket
    int socketFd = -1;
    pid_t helperPid = -1;
};

} // namespace lyrane
