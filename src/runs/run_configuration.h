#pragma once

#include "runs/take_requests.h"
#include "runs/timeline_settings.h"
#include "runs/voice_map.h"
#include "subtitles/speakers.h"
#include "synthesis/synthesis_settings.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace lyrane {

enum class RunMode {
    Subtitles,           // --vtt
    Batch,               // --batch
    SingleText,          // --say or --text
    PrintCacheDirectory, // --cache-only
    ListVoices,          // --list-voices
};

// Who speaks each cue of a subtitle file and with which voice.
struct SpeakerSettings {
    VoiceMap voices; // --voices; empty: every cue in --voice
    SpeakerLabels labels = SpeakerLabels::On;
};

// One text to speak and the context sent with it.
struct SingleTextInput {
    QString text;     // --say, as given
    QString textFile; // --text
    QString previousText;
    QString nextText;
};

// The environment variables lyrane reads, read once when it starts, each trimmed but the key:
// a key set but blank is a key that was given (and is refused), not a reason to read the file.
struct Environment {
    QString apiKey;               // ELEVENLABS_API_KEY, as set
    QString apiUrl;               // LYRANE_API_URL
    QString format;               // LYRANE_FORMAT
    QString defaultVoice;         // LYRANE_DEFAULT_VOICE
    std::optional<QString> model; // LYRANE_MODEL, when set at all
    QString s3Bucket;             // LYRANE_S3_BUCKET
};

// What the command line asks for, validated: the mode and the settings each layer needs.
struct RunConfiguration {
    RunMode mode = RunMode::Subtitles;
    QString subtitleFile;   // Subtitles
    QString encoding;       // of subtitle files without a byte-order mark; empty: UTF-8
    QStringList batchFiles; // Batch, blank entries dropped
    SingleTextInput single; // SingleText

    QString outputFile;
    int limit = 0; // cues of a subtitle file to process, 0 for all
    bool dryRun = false;
    bool noPadding = false; // stop after the clips

    QString apiKeyFile;
    QString apiKeyFromEnvironment; // used instead of the file when set
    QString apiUrl;                // the service's address, without a trailing "/"
    QString cacheDirectory;
    QString s3Bucket;

    SynthesisSettings synthesis;
    SpeakerSettings speakers; // Subtitles and Batch
    TimelineSettings timeline;

    bool creditCheck = true;          // read the account before paying for clips
    std::optional<qint64> maxCredits; // refuse runs estimated above this
    QString reportFile;               // --report: JSON record of the run
    QString captionsFile;             // --captions-out: cues retimed to the narration

    TakeRequests takes;         // --retake and --take (Subtitles)
    QString reviewFile;         // --review: the run as one HTML page
    bool progressLines = false; // --progress lines: lines even on a terminal
};

} // namespace lyrane
