#pragma once

#include "synthesis/voice_settings.h"

#include <QString>

namespace lyrane {

// How clips are asked for and fetched. The voice, format and speed are the run's defaults
// for each request; the rest governs the run as a whole.
struct SynthesisSettings {
    QString voice;                                      // a built-in name or a voice identifier
    QString outputFormat = QStringLiteral("pcm_44100"); // the service's output_format
    double speed = 1.0;
    int jobs = 1;      // cues worked on at once
    int retries = 3;   // further attempts after a transient failure
    int timeoutMs = 0; // 0: no time-out for a request or an aws call

    VoiceSettings voiceSettings; // model, language and the voice's settings, for each request
    bool wordTiming = false;     // --word-timing: every clip with its alignment
};

} // namespace lyrane
