#pragma once

#include "audio/programme_mix.h"
#include "audio/timeline_plan.h"
#include "runs/exchange_settings.h"
#include "runs/narration_sinks.h"
#include "subtitles/dapt_writer.h"

#include <QList>
#include <QString>

#include <optional>

namespace lyrane {

// --stems: each narrated cue's clip as it plays, and the narration alone, as Broadcast WAV
// files whose TimeReference places them on the output timeline (from the --timecode-origin).
class StemsSink final : public NarrationSink {
public:
    explicit StemsSink(const ExchangeSettings& settings) : settings(settings) {}
    NarrationOutcome write(const NarrationPlan& plan, const PlacedTimeline& timeline,
                           RunContext context) override;

private:
    const ExchangeSettings& settings;
};

// --dapt-out: the narration as a DAPT script, each description timed where its clip plays,
// with the programme's ducking around it when mixed over one. Its clips are the stems when
// --stems writes them, else the cache's; --dapt-embed puts their bytes into the script (without
// stems, each clip as it plays, as 16-bit WAV).
class DaptSink final : public NarrationSink {
public:
    // `language`: --audio-language (ISO 639-2), empty when not given.
    DaptSink(const ExchangeSettings& settings, const QString& language)
        : settings(settings), language(language) {}
    NarrationOutcome write(const NarrationPlan& plan, const PlacedTimeline& timeline,
                           RunContext context) override;

private:
    const ExchangeSettings& settings;
    QString language;
};

// How the programme mix ducks around each of the plan's clips (nothing for a clip it does not
// duck): the clips whose ramps meet share one lowering, so the first of them lowers the
// programme, the last restores it and those between keep it down. Nothing without a programme
// or with no ducking.
QList<std::optional<DaptDucking>> programmeDucking(const TimelinePlan& plan,
                                                   const ProgrammeMixSettings& mix);

// An ISO 639-2 code (--audio-language) as a BCP 47 tag for xml:lang: the two-letter code where
// the language has one ("eng" -> "en", "fre" -> "fr"), else the code as given.
QString languageTag(const QString& iso639);

} // namespace lyrane
