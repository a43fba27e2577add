#pragma once

#include "cache/take_record_store.h"
#include "runs/take_requests.h"
#include "synthesis/clip_source.h"

#include <QList>
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

// The record beside `first`'s clip (take 1's job).
QString takeRecordPath(const ClipJob& first);

// Refuses (one line, printed and kept in `failure`) a cue that --retake or --take names
// beyond the `count` cues the run narrates, and a cue both retaken and chosen.
bool checkTakeCues(const TakeRequests& requests, int count, QString* failure);

// Cue `number`'s take: the one its record chose (a record that cannot be read is named and
// take 1 used), a new one when retaken, or the one --take names, refused (with one line in
// `failure`) when it does not exist.
std::optional<CueTake> cueTake(int number, const ClipJob& first, const TakeRequests& requests,
                               QString* failure);

// Brings the records the mirror holds for `firsts` into the cache where they differ: the
// mirror's are the latest choices. One listing per run; a failure is said and the local
// records are used.
void fetchTakeRecords(const TakeRecordStore& store, const QList<ClipJob>& firsts);

// Chooses each job's take (replacing the job by that take's), after fetching the mirror's
// records when there is a mirror; refuses as checkTakeCues and cueTake do.
std::optional<QList<CueTake>> chooseTakes(const ClipSource& source, const TakeRecordStore* store,
                                          const TakeRequests& requests, QList<ClipJob>* jobs,
                                          QString* failure);
// The job of `take` in place of take 1's `first`.
ClipJob takeJob(const ClipSource& source, const ClipJob& first, const CueTake& take);
// "  Take: 2 of 3" for a cue with several takes, else nothing.
QString takeListingLine(const CueTake& take);

// Writes the changed records (and sends them to the mirror when there is one), saying which
// take each cue now uses; false, with the line in `failure`, when one cannot be written.
bool rememberTakes(const QList<CueTake>& takes, const TakeRecordStore* store, QString* failure);

} // namespace lyrane
