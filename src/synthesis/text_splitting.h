#pragma once

#include <QString>
#include <QStringList>

namespace lyrane {

// Characters are counted as QString::size() counts them, in UTF-16 code units, as everywhere
// else in lyrane. A character outside the Basic Multilingual Plane counts twice, so a text
// under a limit here is under it in Unicode characters too, however the service counts.
inline qsizetype requestCharacterCount(const QString& text) {
    return text.size();
}

// Splits a text longer than `limit` into parts of at most `limit` characters, in order and as
// few as the breaks allow: each part ends at the last sentence end that fits (., !, ? or an
// ellipsis followed by a space or the end, closing quotes and brackets kept with their sentence;
// or a CJK full stop, exclamation or question mark, which need no space), unless the sentence
// after it is too long for a part of its own and must be cut at words anyway; failing that at
// the last space; failing that at the limit, never inside a surrogate pair or a grapheme where
// that can be helped. The white space at each cut is dropped and nothing else: the parts are
// the text's pieces in order with only white space between them, so where the text had one
// space at a cut, joining the parts with one space gives the text back. A text within the
// limit comes back as the one part; white space around the whole text is dropped too, and a
// blank text gives no parts. A limit below 2 still keeps a surrogate pair whole.
QStringList splitTextForRequests(const QString& text, qsizetype limit);

} // namespace lyrane
