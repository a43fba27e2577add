#pragma once

#include "cli/run_configuration.h"
#include "runs/run_preparation.h"
#include "synthesis/account_voices.h"

#include <memory>

namespace lyrane {

// Narrates subtitle files; the key, cache and mirror are made once, when the first file that
// needs them comes.
class SubtitleSession {
public:
    explicit SubtitleSession(const RunConfiguration& config) : config(config) {}

    // Parses `subtitleFile`, then lists its cues (--dry-run) or narrates it into `outputFile`.
    // Returns the exit status.
    int runFile(const QString& subtitleFile, const QString& outputFile);

private:
    const RunConfiguration& config;
    std::unique_ptr<RunServices> services;
    std::unique_ptr<VoiceNameResolver> voiceNames; // account voices asked for once a session
};

// --vtt: parse, list (--dry-run) or narrate one subtitle file. Returns the exit status.
int runSubtitleFile(const RunConfiguration& config);

} // namespace lyrane
