#include "cache/file_helpers.h"

#include "audio/wav_file.h"

#include <QFile>
#include <QObject>
#include <QRegularExpression>
#include <QSaveFile>

namespace lyrane {

namespace {
constexpr int kDefaultPcmRate = 44100;
}

QString readUtf8TextFile(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (error) {
            *error = QObject::tr("failed to read text file %1: %2").arg(path, file.errorString());
        }
        return {};
    }
    return QString::fromUtf8(file.readAll()).trimmed();
}

QString loadApiKey(const QString& keyFile, QString* error) {
    const QByteArray fromEnvironment = qgetenv("ELEVENLABS_API_KEY");
    if (!fromEnvironment.isEmpty()) {
        return QString::fromUtf8(fromEnvironment).trimmed();
    }
    QFile file(keyFile);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (error) {
            *error = QObject::tr("failed to read ElevenLabs API key: %1").arg(file.errorString());
        }
        return {};
    }
    const QString key = QString::fromUtf8(file.readAll()).trimmed();
    if (key.isEmpty() && error) {
        *error = QObject::tr("ElevenLabs API key file is empty");
    }
    return key;
}

bool outputFormatIsMp3(const QString& format) {
    return format.startsWith(QLatin1String("mp3"), Qt::CaseInsensitive);
}

QString cacheExtensionForOutputFormat(const QString& format) {
    return outputFormatIsMp3(format) ? QStringLiteral(".mp3") : QStringLiteral(".wav");
}

QString contentTypeForExtension(const QString& extension) {
    if (extension.compare(QLatin1String(".mp3"), Qt::CaseInsensitive) == 0) {
        return QStringLiteral("audio/mpeg");
    }
    if (extension.compare(QLatin1String(".wav"), Qt::CaseInsensitive) == 0) {
        return QStringLiteral("audio/wav");
    }
    return {};
}

int pcmSampleRateForFormat(const QString& format) {
    static const QRegularExpression named(QStringLiteral("^pcm_(\\d{4,6})$"),
                                          QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = named.match(format);
    if (!match.hasMatch()) {
        return kDefaultPcmRate;
    }
    const int rate = match.captured(1).toInt();
    return rate >= 8000 && rate <= 192000 ? rate : kDefaultPcmRate;
}

bool ensureCachedAudioFileIsUsable(const QString& path, const QString& format, QString* error) {
    if (outputFormatIsMp3(format)) {
        return true;
    }
    return ensureWavFile(path, pcmSampleRateForFormat(format), error);
}

bool writeSynthesizedAudioToCache(const QString& format, const QString& path,
                                  const QByteArray& bytes, QString* error) {
    if (!outputFormatIsMp3(format)) {
        return writePcm16MonoAsWav(bytes, pcmSampleRateForFormat(format), path, error);
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error) {
            *error = QObject::tr("failed to write cache file %1: %2").arg(path, file.errorString());
        }
        return false;
    }
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        if (error) {
            *error = QObject::tr("failed to write all data to cache file %1").arg(path);
        }
        return false;
    }
    return true;
}

} // namespace lyrane
