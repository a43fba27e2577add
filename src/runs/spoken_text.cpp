#include "runs/spoken_text.h"

#include "subtitles/lexicon.h"
#include "subtitles/pauses.h"

namespace lyrane {

QString spokenText(const Lexicon* lexicon, const QString& written) {
    const QString text = withoutPauses(written);
    return lexicon ? applyLexicon(*lexicon, text) : text;
}

} // namespace lyrane
