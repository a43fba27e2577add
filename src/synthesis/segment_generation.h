#pragma once

#include "cli/options.h"
#include "runs/run_preparation.h"
#include "subtitles/vtt_parser.h"
#include "synthesis/elevenlabs_client.h"

#include <QList>
#include <QString>

#include <optional>

namespace lyrane {

// One generated clip of a subtitle run; the cache file is the segment file.
struct AudioSegment {
    QString filePath;
    qint64 startMs = 0;
    qint64 endMs = 0;
    QString text;
    QString checksum;
    double speed = 1.0;
};

// Brings every processed cue's clip into the local cache, from the first tier that has it:
// the cache, the mirror, the service. Up to `config.jobs` cues are worked on at once; the
// result is in cue order. Prints progress and the first failure; nothing on failure.
std::optional<QList<AudioSegment>> generateSegments(const QList<VttCue>& cues, const Config& config,
                                                    const RunResources& resources,
                                                    const ElevenLabsClient& client);

} // namespace lyrane
