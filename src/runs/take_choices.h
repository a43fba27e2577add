#pragma once

#include "cache/take_record_store.h"
#include "runs/narration_outcome.h"
#include "runs/run_context.h"
#include "runs/take_requests.h"
#include "synthesis/clip_source.h"

#include <QList>
#include <QSet>
#include <QString>

#include <optional>

namespace lyrane {

// The take a cue uses in this run, and whether its record must change once the clip is there.
struct CueTake {
    int take = 1;
    int takes = 1;        // that exist, a new take counted
    bool changed = false; // a new take, or another one chosen
    QString recordPath;   // beside take 1's clip
};

// Refuses a cue that --retake or --take names beyond the `count` cues the run narrates, and a
// cue both retaken and chosen.
std::optional<NarrationOutcome> checkTakeCues(const TakeRequests& requests, int count);

// The takes of one invocation's cues, from the records beside their clips. With a mirror, its
// records (the latest choices) are brought into the cache first, with one listing for the whole
// invocation; a record that cannot be read is named and take 1 used.
class TakeChoices {
public:
    TakeChoices(const TakeRecordStore* store, RunContext context)
        : store(store), context(context) {}

    // Brings the mirror's records for `firsts` (take 1's jobs) into the cache where they differ.
    void bringIn(const QList<ClipJob>& firsts);
    // Cue `number`'s take: the one its record chose, a new one when retaken, or the one --take
    // names, refused when it does not exist. A record that cannot be read is said unless
    // `sayUnreadable` is false (a batch's cost check, whose files say it when they run).
    std::optional<CueTake> cueTake(int number, const ClipJob& first, const TakeRequests& requests,
                                   NarrationOutcome* failure, bool sayUnreadable = true);
    // Writes the changed records (and sends them to the mirror), saying which take each cue
    // now uses; `takes` holds each cue's take, in cue order.
    NarrationOutcome remember(const QList<CueTake>& takes);

private:
    bool listMirror();

    const TakeRecordStore* store;
    RunContext context;
    bool listed = false;
    QList<ListedTakeRecord> mirrored;
    QSet<QString> fetched;
};

// The job of `take` in place of take 1's `first`.
ClipJob takeJob(const ClipSource& source, const ClipJob& first, const CueTake& take);
// "  Take: 2 of 3" for a cue with several takes, else nothing.
QString takeListingLine(const CueTake& take);

} // namespace lyrane
