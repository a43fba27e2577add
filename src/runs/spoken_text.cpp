#include "runs/spoken_text.h"

#include "subtitles/lexicon.h"
#include "subtitles/pauses.h"

namespace lyrane {

QString spokenText(const RunConfiguration& config, const QString& written) {
    const QString text = withoutPauses(written);
    return config.lexicon ? applyLexicon(*config.lexicon, text) : text;
}

} // namespace lyrane
