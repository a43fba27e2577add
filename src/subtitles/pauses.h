#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>

namespace lyrane {

// The longest pause a cue may ask for.
constexpr int kMaxPauseMs = 10000;

// A text cut at its pauses: parts[k] is said after pausesMs[k] of silence, and pausesMs has one
// more entry, the silence after the last part. Pauses next to each other add up; parts are
// trimmed and never empty.
struct PausedText {
    QStringList parts;
    QList<int> pausesMs;
};

// Whether a tag's body (between "<" and ">") is a pause: "break" followed by its attributes.
bool isPauseTag(QStringView body);

// Whether `text` may hold a pause: a quick test before the real reading.
bool mayHoldPause(const QString& text);

// Reads the pauses of `text`: <break time="1.5s"/>, <break time="500ms"/>, with or without the
// slash, in single or double quotes. Nothing when a pause has no readable time or is longer
// than kMaxPauseMs; `problem` then says which (without naming the cue).
std::optional<PausedText> readPauses(const QString& text, QString* problem);

// `text` with each pause made one space: what a context text says.
QString withoutPauses(const QString& text);

} // namespace lyrane
