#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace lyrane {

// When each character of a clip's text is spoken, in seconds from the clip's first sample, as
// the service's with-timestamps answer gives it.
struct WordAlignment {
    QStringList characters;
    QList<double> startSeconds;
    QList<double> endSeconds;
};

// One word of a clip: a run of characters between white space.
struct TimedWord {
    QString text;
    double startSeconds = 0;
    double endSeconds = 0;
};

// Reads an alignment object strictly: three arrays of one length, characters as strings,
// times finite, not negative, each character's end not before its start, and neither starts
// nor ends going backwards.
std::optional<WordAlignment> alignmentFromJson(const QJsonObject& object, QString* error);
// False when the alignment runs past a clip of `seconds`.
bool alignmentFitsAudio(const WordAlignment& alignment, double seconds, QString* error);

// The cache file's bytes: compact JSON in the service's own member names.
QByteArray alignmentFileBytes(const WordAlignment& alignment);
// Reads an alignment file, with the checks of alignmentFromJson.
std::optional<WordAlignment> readAlignmentFile(const QString& path, QString* error);

// The words of an alignment, in order; characters of white space separate them.
QList<TimedWord> alignedWords(const WordAlignment& alignment);
// Whether the alignment stops before the end of `text`: it follows the text as far as it goes,
// and characters other than white space are left over after it.
bool alignmentCutShort(const WordAlignment& alignment, const QString& text);
// How many characters of `text` (white space aside) the alignment misses at the end; 0 when
// it is not cut short.
qsizetype alignmentMissingCharacters(const WordAlignment& alignment, const QString& text);

// The character-by-character split of `text` into code points, as alignments count them.
QStringList alignmentCharacters(const QString& text);

} // namespace lyrane
