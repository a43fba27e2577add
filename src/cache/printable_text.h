#pragma once

#include <QString>

namespace lyrane {

// `text` fit for one line of a terminal, whoever wrote it: control characters, line and
// paragraph separators and bidirectional overrides are written as \xNN or \u{NNNN}, and a text
// longer than `maxLength` characters is cut there with "...".
QString printableText(const QString& text, int maxLength = 200);

} // namespace lyrane
