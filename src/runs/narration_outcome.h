#pragma once

#include "audio/loudness.h"
#include "runs/run_context.h"

#include <QString>

#include <optional>

namespace lyrane {

// What the service billed for the clips a run made.
struct Billing {
    qint64 characters = 0;
    qint64 newClips = 0;
    bool estimated = false; // some answers said nothing and the texts' lengths were counted

    void add(const Billing& other);
};

// Why a run could not go on: what failed, at which cue, and the line that says so.
struct RunFailure {
    enum class Kind {
        Input,    // the subtitle file, the text, the dialogue, a take or a pause
        Services, // the key, the cache, the mirror, the programme
        Budget,   // --max-credits or the account's credits
        Clip,     // a clip could not be brought into the cache or made from its parts
        Timeline, // the clips could not be prepared or laid out
        Output,   // an output could not be written
    };
    Kind kind = Kind::Input;
    std::optional<qint64> cue; // from 1
    QString line;              // as the console shows it, with its line break
    // The line reached the console when it happened (a clip's failure, in its progress words),
    // so it is not said again.
    bool said = false;

    // As the report keeps it: one line, without its break.
    QString message() const { return line.trimmed(); }
};

// What a narration, or one of its steps, came to: done, failed (the failure, said once by
// whoever ends the run), or stopped by a signal.
struct NarrationOutcome {
    enum class Status { Done, Failed, Interrupted };
    Status status = Status::Done;
    RunFailure failure; // when Failed
    int signal = 0;     // Interrupted: the signal that asked the run to stop
    Billing billing;
    std::optional<LoudnessGain> loudness; // a written output's figures under a target

    bool done() const { return status == Status::Done; }
    bool failed() const { return status == Status::Failed; }
    bool interrupted() const { return status == Status::Interrupted; }
    // 0, 1, or 128 + the signal.
    int exitStatus() const;

    static NarrationOutcome failedWith(RunFailure::Kind kind, const QString& line,
                                       std::optional<qint64> cue = std::nullopt);
    static NarrationOutcome stoppedBy(int signal);
};

// Says the outcome's failure on the console unless it was said already.
void sayFailure(Console& console, NarrationOutcome& outcome);

} // namespace lyrane
