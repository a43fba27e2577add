#pragma once

#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

#include <optional>

namespace lyrane {

// What --retake and --take ask of a subtitle run: cues to read anew, and cues whose earlier
// take is chosen again. Cue numbers count from 1.
struct TakeRequests {
    QList<QPair<int, int>> retakes; // ranges, both ends included
    QMap<int, int> choices;         // cue -> take

    bool isEmpty() const { return retakes.isEmpty() && choices.isEmpty(); }
    bool isRetaken(int cue) const;
    // The largest cue number named, 0 when none is.
    int lastCue() const;
};

// "17", "3,17,23-25": cue numbers and ranges, each from 1. Nothing when malformed.
std::optional<QList<QPair<int, int>>> parseCueRanges(const QString& text);
// "17=1", "17=1,23=3": a take for each cue. Nothing when malformed or a cue is named twice.
std::optional<QMap<int, int>> parseTakeChoices(const QString& text);

} // namespace lyrane
