#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace lyrane {

// True when `name` is an encoding that subtitle files can be read in: one of Qt's own
// (the UTF encodings, Latin-1) or one the system's iconv knows (windows-1252, iso-8859-6...).
bool isKnownTextEncoding(const QString& name);

enum class DecodingFailure {
    UnknownEncoding, // `encoding` names no encoding
    InvalidText,     // not valid in the encoding its byte-order mark or `encoding` names
    Undetected,      // not UTF-8, and no encoding it reads in could be found
};

struct DecodedText {
    QString text;
    QString detectedEncoding; // set when the encoding was found by looking at the bytes
};

// Decodes a subtitle file's bytes. A byte-order mark decides first (UTF-8, UTF-16 or UTF-32,
// either byte order); without one the bytes are read as `encoding`. Without both, UTF-8, or
// when the bytes are not UTF-8, the encoding a detector finds in them. Text that is not valid
// in its encoding fails with a message naming the line of the first bad byte; nothing is
// replaced, except NUL characters, which become U+FFFD.
std::optional<DecodedText> decodeSubtitleText(const QByteArray& bytes, const QString& encoding,
                                              DecodingFailure* failure, QString* error);

// Rewrites CR LF and lone CR line ends as LF.
void normalizeLineEnds(QString& text);

} // namespace lyrane
