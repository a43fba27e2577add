#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace lyrane {

// True when `name` is an encoding that subtitle files can be read in: one of Qt's own
// (the UTF encodings, Latin-1) or one the system's iconv knows (windows-1252, iso-8859-6...).
bool isKnownTextEncoding(const QString& name);

// Decodes a subtitle file's bytes. A byte-order mark decides first (UTF-8, UTF-16 or UTF-32,
// either byte order); without one the bytes are read as `encoding`, UTF-8 when that is empty.
// Invalid sequences and NUL characters become U+FFFD.
std::optional<QString> decodeSubtitleText(const QByteArray& bytes, const QString& encoding,
                                          QString* error);

// Rewrites CR LF and lone CR line ends as LF.
void normalizeLineEnds(QString& text);

} // namespace lyrane
