#pragma once

#include "cli/run_configuration.h"
#include "runs/run_accounting.h"
#include "runs/run_preparation.h"
#include "subtitles/vtt_parser.h"
#include "synthesis/account_voices.h"

#include <functional>
#include <memory>

namespace lyrane {

// Narrates subtitle files; the key, cache and mirror are made once, when the first file that
// needs them comes.
class SubtitleSession {
public:
    explicit SubtitleSession(const RunConfiguration& config);

    // Parses `subtitleFile`, then lists its cues (--dry-run) or narrates it into `outputFile`.
    // `input` names the file in the report of a batch. Returns the exit status.
    int runFile(const QString& subtitleFile, const QString& outputFile,
                const QString& input = QString());

    // The key, cache and mirror, made on first use; nullptr (the reason printed) when they
    // cannot be.
    RunServices* runServices();
    // The jobs a run of `cues` sends, account voices looked up; empty when the services cannot
    // be made.
    QList<ClipJob> runJobs(const QList<VttCue>& cues);
    // The budget and the account were checked for the whole batch already.
    void skipCostChecks() { costChecked = true; }

    RunReport& runReport() { return report; }
    // Records a failure that ended the run, unless one was recorded already.
    void recordFailure(const QString& input, std::optional<qint64> cue, const QString& message);

private:
    const RunConfiguration& config;
    std::unique_ptr<RunServices> services;
    std::unique_ptr<VoiceNameResolver> voiceNames; // account voices asked for once a session
    RunReport report;
    bool costChecked = false;
};

// What a voice value is sent as; an empty function sends each value as written.
using VoiceForRequest = std::function<QString(const QString& voice)>;

// The job of cue `index`, its neighbours sent as its context, in its speaker's voice: the one
// place a subtitle run's requests are made, so estimates name the same clips as the run.
ClipJob subtitleJob(const QList<VttCue>& cues, int index, const SynthesisSettings& settings,
                    const VoiceMap& voices, const VoiceForRequest& requestVoice,
                    const ClipSource& source);

// The jobs of the processed cues (the first `limit`, 0 for all).
QList<ClipJob> subtitleJobs(const QList<VttCue>& cues, int limit, const SynthesisSettings& settings,
                            const VoiceMap& voices, const VoiceForRequest& requestVoice,
                            const ClipSource& source);

// Reads a subtitle file for a run, each cue's speaker named, printing why when it cannot be used.
std::optional<QList<VttCue>> openSubtitleFile(const QString& path, const QString& encoding,
                                              SpeakerLabels labels);

// --vtt: parse, list (--dry-run) or narrate one subtitle file. Returns the exit status.
int runSubtitleFile(const RunConfiguration& config);

} // namespace lyrane
