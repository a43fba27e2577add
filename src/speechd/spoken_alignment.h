#pragma once

#include "speech_engine.h"

#include <QJsonObject>
#include <QString>

namespace lyrane {

// The with-timestamps alignment of `text` from espeak-ng's marks, in the service's shape: each
// code point of the text with a start and an end in seconds. A word's characters share its
// time evenly, from its start to where its sound ends before the next word or the end of its
// clause; characters between words sit at the end of the word before. Every time lies within
// the `seconds` of audio.
QJsonObject spokenAlignment(const QString& text, const SpokenText& spoken, double seconds);

} // namespace lyrane
