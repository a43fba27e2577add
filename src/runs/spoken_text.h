#pragma once

#include <QString>

namespace lyrane {

struct Lexicon;

// A text as it is sent: its pauses made spaces (a cue's own pauses are made by joining its
// parts; a context only reads on) and the lexicon, when there is one, applied once.
QString spokenText(const Lexicon* lexicon, const QString& written);

} // namespace lyrane
