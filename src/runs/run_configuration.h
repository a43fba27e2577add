#pragma once

#include "cache/s3_objects.h"
#include "runs/exchange_settings.h"
#include "runs/take_requests.h"
#include "runs/timeline_settings.h"
#include "runs/typed_command.h"
#include "runs/voice_map.h"
#include "subtitles/speakers.h"
#include "synthesis/synthesis_settings.h"

#include <QDir>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace lyrane {

struct Lexicon;

enum class RunMode {
    Subtitles,           // --vtt
    Batch,               // --batch
    SingleText,          // --say or --text
    PrintCacheDirectory, // --cache-only
    ListVoices,          // --list-voices
    ListDictionaries,    // --list-dictionaries
    MergeReports,        // --merge-reports
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
    QString s3Client;             // LYRANE_S3_CLIENT

    // A worker's share of a batch, as job engines and users name it.
    QString shard;              // LYRANE_SHARD, "K/N"
    QString shardCount;         // LYRANE_SHARD_COUNT
    QString jobCompletionIndex; // JOB_COMPLETION_INDEX (Kubernetes Indexed Jobs)
    QString arrayJobIndex;      // AWS_BATCH_JOB_ARRAY_INDEX (AWS Batch array jobs)
};

// One worker's share of a batch list: the files whose position, from 0, is `index` modulo
// `count`.
struct BatchShard {
    int index = 0;
    int count = 1;
    int listFiles = 0; // files in the whole list
};

// What the command line asks for, validated: the mode and the settings each layer needs.
struct RunConfiguration {
    RunMode mode = RunMode::Subtitles;
    QString subtitleFile;   // Subtitles
    QString encoding;       // of subtitle files without a byte-order mark; empty: UTF-8
    QStringList batchFiles; // Batch, blank entries dropped
    SingleTextInput single; // SingleText

    QString outputFile = QStringLiteral("output.wav");
    int limit = 0; // cues of a subtitle file to process, 0 for all
    bool dryRun = false;
    bool noPadding = false; // stop after the clips

    QString apiKeyFile = QDir(QDir::homePath()).filePath(QStringLiteral(".elevenlabs-api-key"));
    QString apiKeyFromEnvironment; // used instead of the file when set
    QString apiUrl;                // the service's address, without a trailing "/"
    QString cacheDirectory = QDir(QDir::tempPath()).filePath(QStringLiteral("lyrane-audio"));
    QString s3Bucket;
    S3ClientOptions s3Client; // --s3-client, --s3-endpoint-style

    SynthesisSettings synthesis;
    SpeakerSettings speakers; // Subtitles and Batch
    TimelineSettings timeline;

    bool creditCheck = true;          // read the account before paying for clips
    std::optional<qint64> maxCredits; // refuse runs estimated above this
    QString reportFile;               // --report: JSON record of the run
    QString captionsFile;             // --captions-out: cues retimed to the narration
    bool joinSentences = false;       // --join-sentences: a sentence over cues in one request

    std::shared_ptr<const Lexicon> lexicon; // --lexicon; null: texts are sent as written

    // Many machines on one batch.
    std::optional<BatchShard> shard; // Batch: this worker's share; batchFiles holds only it
    bool claimClips = false;         // claim clips in the mirror before paying for them
    QStringList mergeReports;        // MergeReports: the reports to join into reportFile

    TakeRequests takes;         // --retake and --take (Subtitles)
    QString reviewFile;         // --review: the run as one HTML page
    bool progressLines = false; // --progress lines: lines even on a terminal
    // --serve: after the run, its review page served live on 127.0.0.1 at this port (0: any).
    std::optional<quint16> servePort;
    TypedCommand command; // as typed; empty: the process's own

    ExchangeSettings exchange; // timecoded scripts, --dapt-out and --stems
};

} // namespace lyrane
