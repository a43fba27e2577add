#pragma once

#include "runs/cue_flags.h"
#include "synthesis/voice_settings.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

namespace lyrane {

// Where a cue's clip came from, as the report names it; Pending when the run ended (or was a dry
// run) before it had one.
enum class ClipOrigin { Cache, Mirror, Service, Pending };

// "cache", "mirror", "service" or "pending", as the report writes it.
QString clipOriginName(ClipOrigin origin);

// Where a clip landed on the timeline.
struct ReportPlacement {
    qint64 desiredStartMs = 0;
    qint64 desiredEndMs = 0;
    qint64 actualStartMs = 0;
    qint64 actualEndMs = 0;
    qint64 delayMs = 0;
    double speedUp = 1.0; // 1 when the clip plays at its own pace
};

// A word spoken on the output's timeline.
struct ReportWord {
    QString text;
    qint64 startMs = 0;
    qint64 endMs = 0;
};

// A cue's speech, from its clip's alignment, on the output's timeline.
struct ReportSpeech {
    qint64 startMs = 0;
    qint64 endMs = 0;
    bool cutShort = false;           // the alignment stops before the end of the text
    qsizetype missingCharacters = 0; // of the text, at the end, when cut short
    bool listWords = false;          // --word-timing: the words are written
    QList<ReportWord> words;
};

struct ReportCue {
    QString input;     // the subtitle file, in a batch; empty otherwise
    qint64 number = 0; // from 1, in file order
    qint64 startMs = 0;
    qint64 endMs = 0;
    QString speaker;     // empty when the cue has none
    QString text;        // as sent
    QString writtenText; // as the input has it, before the lexicon
    QString voiceId;
    QString cacheKey;
    QString clipFile; // empty when not known
    ClipOrigin source = ClipOrigin::Pending;
    qint64 characters = 0;
    std::optional<qint64> billedCharacters; // from the service's character-cost header
    QString requestId;                      // from the service's request-id header
    int attempts = 0;                       // requests sent for this clip
    std::optional<qint64> clipLengthMs;
    std::optional<ReportPlacement> placement; // absent until the clip is placed
    std::optional<ReportSpeech> speech;       // when the clip has an alignment
    QList<qint64> joinedCues; // --join-sentences: the cues sent in one request with this one
    std::optional<qint64> coversDialogueMs; // with --dialogue, once placed: 0 when clear
    int take = 1;                           // the take the cue plays
    int takes = 1;                          // the takes there are
    QList<CueFlag> flags;
};

struct ReportVoice {
    QString speaker;
    QString voice;
};

struct ReportSettings {
    QString voice;   // as given
    QString voiceId; // what it resolved to
    QList<ReportVoice> voiceMap;
    QString format;
    double speed = 1.0;
    VoiceSettings voiceSettings; // holds the model too
};

// The output's loudness under a target, as measured after the gain (or as written, for a
// lossy codec). A silent output has -infinity figures, written as null.
struct ReportLoudness {
    double integratedLufs = 0.0;
    double truePeakDbtp = 0.0;
    double loudnessRangeLu = 0.0;
    double targetLufs = 0.0;
    double truePeakCeilingDbtp = 0.0;
    QString preset; // empty without --loudness-preset
};

struct ReportOutput {
    QString input; // the subtitle file, in a batch; empty otherwise
    QString file;
    qint64 lengthMs = 0;
    std::optional<ReportLoudness> loudness; // with a loudness target
};

struct ReportFailure {
    QString input;             // the subtitle file, in a batch; empty otherwise
    std::optional<qint64> cue; // the failing cue's number, when one failed
    QString message;
};

struct ReportTotals {
    qint64 cues = 0;
    qint64 newClips = 0;
    qint64 charactersBilled = 0;
    bool charactersBilledEstimated = false; // some clips came without a character-cost header
    qint64 creditsEstimated = 0;
};

// A worker's share of a batch: the files at positions index, index + count, ... of the list.
struct ReportShard {
    int index = 0;
    int count = 1;
    int files = 0;     // this share's
    int listFiles = 0; // the whole list's
};

// The record of one run, as --report writes it.
struct RunReport {
    QString version;
    bool dryRun = false;
    ReportSettings settings;
    QList<ReportCue> cues;
    ReportTotals totals;
    QList<ReportOutput> outputs;
    std::optional<ReportFailure> failure;
    std::optional<ReportShard> shard; // written only for a share of a batch
};

QJsonObject runReportJson(const RunReport& report);

// Writes the report as indented JSON; the file appears whole or not at all.
bool writeRunReport(const QString& path, const RunReport& report, QString* error);

} // namespace lyrane
