#include "synthesis/word_alignment.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QObject>
#include <QRegularExpression>

#include <cmath>

namespace lyrane {

namespace {

const QLatin1String kCharacters("characters");
const QLatin1String kStarts("character_start_times_seconds");
const QLatin1String kEnds("character_end_times_seconds");

// A service's times are written with a few decimals; a clip's end is counted in samples.
constexpr double kEndToleranceSeconds = 0.02;

bool failWith(QString* error, const QString& message) {
    if (error) {
        *error = message;
    }
    return false;
}

bool readTimes(const QJsonValue& value, const QString& name, QList<double>* times, QString* error) {
    if (!value.isArray()) {
        return failWith(error, QObject::tr("the alignment has no %1 array").arg(name));
    }
    const QJsonArray array = value.toArray();
    times->reserve(array.size());
    for (const QJsonValue& item : array) {
        const double time = item.toDouble(-1.0);
        if (!item.isDouble() || !std::isfinite(time) || time < 0) {
            // The value as JSON writes it: an array of it, without the brackets.
            const QByteArray written =
                QJsonDocument(QJsonArray{item}).toJson(QJsonDocument::Compact);
            return failWith(error,
                            QObject::tr("the alignment's %1 holds %2, not a time")
                                .arg(name, QString::fromUtf8(written.mid(1, written.size() - 2))));
        }
        times->append(time);
    }
    return true;
}

bool isSpace(const QString& character) {
    return character.isEmpty() || character.at(0).isSpace();
}

} // namespace

std::optional<WordAlignment> alignmentFromJson(const QJsonObject& object, QString* error) {
    WordAlignment alignment;
    const QJsonValue characters = object.value(kCharacters);
    if (!characters.isArray()) {
        failWith(error, QObject::tr("the alignment has no %1 array").arg(kCharacters));
        return std::nullopt;
    }
    for (const QJsonValue& item : characters.toArray()) {
        if (!item.isString()) {
            failWith(error, QObject::tr("the alignment's characters hold something not a string"));
            return std::nullopt;
        }
        alignment.characters.append(item.toString());
    }
    if (!readTimes(object.value(kStarts), kStarts, &alignment.startSeconds, error) ||
        !readTimes(object.value(kEnds), kEnds, &alignment.endSeconds, error)) {
        return std::nullopt;
    }
    const qsizetype count = alignment.characters.size();
    if (alignment.startSeconds.size() != count || alignment.endSeconds.size() != count) {
        failWith(error, QObject::tr("the alignment's arrays differ in length: %1 characters, %2 "
                                    "start times, %3 end times")
                            .arg(count)
                            .arg(alignment.startSeconds.size())
                            .arg(alignment.endSeconds.size()));
        return std::nullopt;
    }
    for (qsizetype i = 0; i < count; ++i) {
        const double start = alignment.startSeconds[i];
        const double end = alignment.endSeconds[i];
        const bool backwards =
            end < start ||
            (i > 0 && (start < alignment.startSeconds[i - 1] || end < alignment.endSeconds[i - 1]));
        if (backwards) {
            failWith(error, QObject::tr("the alignment goes backwards at character %1 (%2 s to "
                                        "%3 s)")
                                .arg(i + 1)
                                .arg(start)
                                .arg(end));
            return std::nullopt;
        }
    }
    return alignment;
}

bool alignmentFitsAudio(const WordAlignment& alignment, double seconds, QString* error) {
    const double last = alignment.endSeconds.isEmpty() ? 0.0 : alignment.endSeconds.last();
    if (last > seconds + kEndToleranceSeconds) {
        return failWith(error, QObject::tr("the alignment runs to %1 s, past the end of the "
                                           "%2 s of audio")
                                   .arg(last)
                                   .arg(seconds));
    }
    return true;
}

QByteArray alignmentFileBytes(const WordAlignment& alignment) {
    QJsonArray characters;
    QJsonArray starts;
    QJsonArray ends;
    for (qsizetype i = 0; i < alignment.characters.size(); ++i) {
        characters.append(alignment.characters[i]);
        starts.append(alignment.startSeconds[i]);
        ends.append(alignment.endSeconds[i]);
    }
    const QJsonObject object{{kCharacters, characters}, {kStarts, starts}, {kEnds, ends}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<WordAlignment> readAlignmentFile(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        failWith(error, QObject::tr("cannot read %1: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!document.isObject()) {
        failWith(error, QObject::tr("%1 is not an alignment: %2")
                            .arg(path, parseError.error != QJsonParseError::NoError
                                           ? parseError.errorString()
                                           : QObject::tr("not a JSON object")));
        return std::nullopt;
    }
    QString reason;
    std::optional<WordAlignment> alignment = alignmentFromJson(document.object(), &reason);
    if (!alignment) {
        failWith(error, QObject::tr("%1: %2").arg(path, reason));
    }
    return alignment;
}

QList<TimedWord> alignedWords(const WordAlignment& alignment) {
    QList<TimedWord> words;
    bool inWord = false;
    for (qsizetype i = 0; i < alignment.characters.size(); ++i) {
        const QString& character = alignment.characters[i];
        if (isSpace(character)) {
            inWord = false;
            continue;
        }
        if (!inWord) {
            words.append({QString(), alignment.startSeconds[i], alignment.endSeconds[i]});
            inWord = true;
        }
        words.last().text += character;
        words.last().endSeconds = alignment.endSeconds[i];
    }
    return words;
}

QStringList alignmentCharacters(const QString& text) {
    QStringList characters;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool pair =
            text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        characters.append(text.mid(i, pair ? 2 : 1));
        i += pair ? 1 : 0;
    }
    return characters;
}

bool alignmentCutShort(const WordAlignment& alignment, const QString& text) {
    return alignmentMissingCharacters(alignment, text) > 0;
}

qsizetype alignmentMissingCharacters(const WordAlignment& alignment, const QString& text) {
    // White space is compared away: a service may fold or drop it.
    QString aligned;
    for (const QString& character : alignment.characters) {
        if (!isSpace(character)) {
            aligned += character;
        }
    }
    QString spoken = text;
    spoken.remove(QRegularExpression(QStringLiteral("\\s+")));
    return aligned.size() < spoken.size() && spoken.startsWith(aligned)
               ? spoken.size() - aligned.size()
               : 0;
}

} // namespace lyrane
