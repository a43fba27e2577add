#pragma once

#include "subtitles/cue_dialect.h"

#include <QString>
#include <QStringView>

namespace lyrane {

// What a cue's markup leaves open from one line to the next.
struct CueMarkupState {
    explicit CueMarkupState(CueDialect dialect) : dialect(dialect) {}

    CueDialect dialect;
    bool inRuby = false;
    bool inRubyAnnotation = false; // inside <rt>...</rt> within <ruby>, which is not spoken
    bool inTag = false;            // WebVTT: a tag opened on an earlier line is not closed yet
    QString openTag;               // what was read of that tag so far
};

// Reduces one trimmed line of cue text to the words a viewer reads: every tag but a pause
// (<break time="1.5s"/>, kept as written for the narration) is removed
// (voice, class, italics, bold, underline, language, font, ruby and inline timestamps), ruby
// annotations are dropped, character references are decoded, subtitle editors' codes ({\an8},
// {y:i}) are removed and their escapes read (\N and \n: a space between words, \h: a space).
// WebVTT follows the standard's cue text tokenizer: every '<' opens a tag, and a tag left open
// runs to the end of the cue. In SRT a '<' opens a tag only when a letter or '/' follows, or an
// inline timestamp ("<00:00:01.000>"), and a '>' closes it on the same line ("x < y", "<3",
// "x<3 and y>5" are text). Character references are read by the HTML standard's table. A line
// without markup comes back unchanged. When `speaker` is given and still empty, the name of the
// first voice span is stored in it.
QString cleanCueLine(QStringView trimmedLine, CueMarkupState& state, QString* speaker);

} // namespace lyrane
