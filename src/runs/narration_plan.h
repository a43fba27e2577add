#pragma once

#include "runs/cue_record.h"
#include "runs/narration_input.h"
#include "runs/run_accounting.h"
#include "runs/run_configuration.h"
#include "runs/run_context.h"
#include "synthesis/account_voices.h"

#include <QList>

#include <memory>
#include <optional>

namespace lyrane {

struct Lexicon;

// What planning reads of the run's settings.
struct PlanSettings {
    SynthesisSettings synthesis;            // voice, format, speed and the voice's settings
    VoiceMap voices;                        // --voices
    std::shared_ptr<const Lexicon> lexicon; // null: texts sent as written
    TakeRequests takes;                     // --retake and --take
    // Say the joined sentences on standard error as a run does; a listing says them itself.
    bool sayJoinedSentences = true;
    // Say a take record that cannot be read (a batch's cost check leaves it to the file's run).
    bool sayUnreadableTakes = true;

    static PlanSettings of(const RunConfiguration& config);
};

// Where a plan finds what it does not know: the clip source names clips and finds them in the
// cache; the account's voice names (null: voices as given, without the key or the network);
// the take choices (null: every cue plays take 1, as a text's parts do).
struct PlanSources {
    const ClipSource& clips;
    VoiceNameResolver* voiceNames = nullptr;
    TakeChoices* takes = nullptr;
};

// What a run will do, decided once and shared by the run, its dry run and a batch's cost
// check: one record per narrated cue, and what the clips still to make cost.
struct NarrationPlan {
    const NarrationInput* input = nullptr;
    QList<CueRecord> cues;
    CostEstimate estimate;

    // What a run asks for and pays for, cue by cue: a cue said in parts asks for its parts
    // until its clip is made.
    QList<ClipJob> jobsToAskFor() const;
};

// Plans each narrated cue: its sentence group, voice (an account voice's name looked up), text
// as spoken (lexicon), take, pauses, job and key, and whether its clip is in the cache.
// Nothing, with the failure in `failure`, when a take asked for does not exist.
std::optional<NarrationPlan> planNarration(const NarrationInput& input,
                                           const PlanSettings& settings, PlanSources& sources,
                                           RunContext context, NarrationOutcome* failure);

// Refuses a request over its model's character limit before anything is paid for: a later cue
// would fail after the cues before it were paid for.
std::optional<NarrationOutcome> checkRequestLengths(const NarrationPlan& plan);

} // namespace lyrane
