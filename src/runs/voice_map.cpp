#include "runs/voice_map.h"

#include <QFile>
#include <QObject>
#include <QSet>
#include <QStringDecoder>

namespace lyrane {

namespace {

// A map of speakers is a few lines; anything this large is not one.
constexpr qint64 kMaxFileSize = 1024 * 1024;

QString speakerKey(const QString& name) {
    return name.simplified().toCaseFolded();
}

void setError(QString* error, const QString& where, const QString& problem) {
    if (error) {
        *error = where + QLatin1String(": ") + problem + QLatin1Char('\n');
    }
}

} // namespace

bool VoiceMap::add(const QString& pair, QString* problem) {
    const QStringList parts = pair.split(QLatin1Char('='));
    if (parts.size() != 2) {
        *problem = QObject::tr("\"%1\" is not a Name=Voice pair").arg(pair.trimmed());
        return false;
    }
    const QString speaker = parts[0].trimmed();
    const QString voice = parts[1].trimmed();
    if (speaker.isEmpty()) {
        *problem = QObject::tr("\"%1\" has no speaker name").arg(pair.trimmed());
        return false;
    }
    if (voice.isEmpty()) {
        *problem = QObject::tr("\"%1\" has no voice").arg(pair.trimmed());
        return false;
    }
    const QString key = speakerKey(speaker);
    const auto known = indexByKey.constFind(key);
    if (known != indexByKey.constEnd()) {
        const Entry& earlier = entries_[*known];
        if (earlier.voice == voice) {
            return true;
        }
        *problem = QObject::tr("%1 is given two voices, %2 and %3")
                       .arg(earlier.speaker, earlier.voice, voice);
        return false;
    }
    indexByKey.insert(key, entries_.size());
    entries_.append({speaker, voice});
    return true;
}

std::optional<VoiceMap> VoiceMap::parse(const QString& argument, QString* error) {
    if (argument.startsWith(QLatin1Char('@'))) {
        return parseFile(argument.mid(1), error);
    }
    return parsePairs(argument, QStringLiteral("--voices"), error);
}

std::optional<VoiceMap> VoiceMap::parsePairs(const QString& pairs, const QString& origin,
                                             QString* error) {
    VoiceMap map;
    // Empty items, as after a trailing comma, are passed over.
    for (const QString& pair : pairs.split(QLatin1Char(','))) {
        if (pair.trimmed().isEmpty()) {
            continue;
        }
        QString problem;
        if (!map.add(pair, &problem)) {
            setError(error, origin, problem);
            return std::nullopt;
        }
    }
    if (map.isEmpty()) {
        setError(error, origin, QObject::tr("no Name=Voice pairs given"));
        return std::nullopt;
    }
    return map;
}

std::optional<VoiceMap> VoiceMap::parseFile(const QString& path, QString* error) {
    const QString origin = QObject::tr("--voices file %1").arg(path);
    if (path.isEmpty()) {
        setError(error, QStringLiteral("--voices"), QObject::tr("no file name after @"));
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, origin, QObject::tr("cannot be read: %1").arg(file.errorString()));
        return std::nullopt;
    }
    const QByteArray bytes = file.read(kMaxFileSize + 1);
    if (file.error() != QFileDevice::NoError) {
        setError(error, origin, QObject::tr("cannot be read: %1").arg(file.errorString()));
        return std::nullopt;
    }
    if (bytes.size() > kMaxFileSize) {
        setError(error, origin, QObject::tr("is too large for a map of voices"));
        return std::nullopt;
    }
    QStringDecoder decoder(QStringConverter::Utf8);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        setError(error, origin, QObject::tr("is not UTF-8 text"));
        return std::nullopt;
    }

    VoiceMap map;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        // Voice names and identifiers never hold "#", so a comment may also end a line.
        const QString line = lines[i].section(QLatin1Char('#'), 0, 0).trimmed();
        if (line.isEmpty()) {
            continue;
        }
        QString problem;
        if (!map.add(line, &problem)) {
            setError(error, QObject::tr("%1, line %2").arg(origin).arg(i + 1), problem);
            return std::nullopt;
        }
    }
    if (map.isEmpty()) {
        setError(error, origin, QObject::tr("no Name=Voice pairs given"));
        return std::nullopt;
    }
    return map;
}

std::optional<QString> VoiceMap::voiceFor(const QString& speaker) const {
    const auto found = indexByKey.constFind(speakerKey(speaker));
    if (found == indexByKey.constEnd()) {
        return std::nullopt;
    }
    return entries_[*found].voice;
}

QStringList VoiceMap::unmappedSpeakers(const QStringList& speakers) const {
    QStringList unmapped;
    QSet<QString> named;
    for (const QString& speaker : speakers) {
        const QString key = speakerKey(speaker);
        if (key.isEmpty() || indexByKey.contains(key) || named.contains(key)) {
            continue;
        }
        named.insert(key);
        unmapped.append(speaker);
    }
    return unmapped;
}

QString unmappedSpeakerLine(const QString& speaker, const QString& voice) {
    return QObject::tr("Speaker %1 has no voice in --voices; using %2\n").arg(speaker, voice);
}

QString speakerListingLine(const QString& speaker, const QString& voice) {
    return QObject::tr("  Speaker: %1 (voice %2)\n").arg(speaker, voice);
}

} // namespace lyrane
