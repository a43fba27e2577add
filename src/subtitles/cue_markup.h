#pragma once

#include <QString>
#include <QStringView>

namespace lyrane {

// What a cue's markup leaves open from one line to the next.
struct CueMarkupState {
    bool inRubyAnnotation = false; // inside <rt>...</rt>, which is not spoken
};

// Reduces one trimmed line of cue text to the words a viewer reads: every tag is removed
// (voice, class, italics, bold, underline, language, font, ruby and inline timestamps), ruby
// annotations are dropped, character references are decoded and override blocks such as
// {\an8} are removed. A line without markup comes back unchanged. When `speaker` is given and
// still empty, the name of the first voice span is stored in it.
QString cleanCueLine(QStringView trimmedLine, CueMarkupState& state, QString* speaker);

} // namespace lyrane
