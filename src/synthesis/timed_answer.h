#pragma once

#include "synthesis/word_alignment.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace lyrane {

// The with-timestamps route's answer: the audio, as the plain route would send it, and when
// each character of the text is spoken.
struct TimedAnswer {
    QByteArray audio;
    WordAlignment alignment;
};

// Reads the answer strictly: a JSON object whose "audio_base64" is valid base64 and whose
// "alignment" passes alignmentFromJson. The error says what is wrong, without the body.
std::optional<TimedAnswer> parseTimedAnswer(const QByteArray& body, QString* error);

} // namespace lyrane
