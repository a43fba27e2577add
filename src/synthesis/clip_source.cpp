#include "synthesis/clip_source.h"

#include "synthesis/clip_format.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace lyrane {

namespace {
const char* const kAlignmentExtension = ".align.json";
} // namespace

TtsRequest makeRequest(const SynthesisSettings& settings, const QString& text,
                       const QString& previousText, const QString& nextText) {
    return makeRequest(settings, settings.voice, text, previousText, nextText);
}

TtsRequest makeRequest(const SynthesisSettings& settings, const QString& voice, const QString& text,
                       const QString& previousText, const QString& nextText) {
    TtsRequest request;
    request.text = text;
    request.voiceId = ElevenLabsClient::voiceIdForName(voice);
    request.previousText = previousText;
    request.nextText = nextText;
    request.outputFormat = settings.outputFormat;
    request.speed = settings.speed;
    request.voiceSettings = settings.voiceSettings;
    request.withTimestamps = settings.wordTiming;
    return request;
}

quint32 takeSeed(int take, std::optional<quint32> seed) {
    // Takes a golden-ratio step apart, so neighbouring takes land far from each other.
    return quint32(seed.value_or(0) + quint32(take - 1) * 0x9E3779B9u);
}

ClipJob ClipSource::job(const TtsRequest& request, const QString& voiceName) const {
    return job(request, voiceName, 1);
}

ClipJob ClipSource::job(const TtsRequest& request, const QString& voiceName, int take) const {
    ClipJob job;
    job.request = request;
    job.voiceName = voiceName;
    job.key = clipCacheKey(request.text, request.previousText, request.nextText, request.voiceId,
                           request.speed, request.voiceSettings, take);
    if (take > 1) {
        job.request.voiceSettings.seed = takeSeed(take, request.voiceSettings.seed);
    }
    job.extension = cacheExtensionForOutputFormat(request.outputFormat);
    job.path = cache.getCachePath(job.key, job.extension);
    job.contentType = contentTypeForExtension(job.extension);
    job.alignmentPath = cache.getCachePath(job.key, QLatin1String(kAlignmentExtension));
    if (mirror) {
        job.objectKey = mirror->objectKey(job.key, job.extension);
        job.alignmentObjectKey = mirror->objectKey(job.key, QLatin1String(kAlignmentExtension));
    }
    return job;
}

ClipJob ClipSource::joinedJob(const ClipJob& cueJob, const QList<ClipJob>& parts,
                              const QList<int>& pausesMs) const {
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(QByteArrayLiteral("pauses"));
    for (const ClipJob& part : parts) {
        hash.addData(QByteArrayLiteral("|") + part.key.toLatin1());
    }
    for (const int ms : pausesMs) {
        hash.addData(QByteArrayLiteral("|") + QByteArray::number(ms));
    }
    ClipJob joined = cueJob;
    joined.key = QString::fromLatin1(hash.result().toHex());
    joined.extension = QStringLiteral(".wav");
    // Checked as WAV before use.
    joined.request.outputFormat = QStringLiteral("pcm_44100");
    joined.path = QDir(cache.directory()).filePath(joined.cacheFile());
    joined.contentType = QStringLiteral("audio/wav");
    joined.objectKey = mirror ? mirror->objectKey(joined.key, joined.extension) : QString();
    return joined;
}

ClipJob ClipSource::sentencePartJob(const ClipJob& joined, int part, int parts,
                                    const QString& text) const {
    const QString stem = QFileInfo(joined.path).path() + QLatin1Char('/') + joined.key +
                         QStringLiteral(".part-%1of%2").arg(part).arg(parts);
    ClipJob job = joined;
    job.path = stem + QStringLiteral(".wav");
    job.alignmentPath = stem + QLatin1String(kAlignmentExtension);
    job.request.text = text;
    return job;
}

QString ClipSource::takeRecordPath(const ClipJob& first) {
    return first.path.left(first.path.size() - first.extension.size()) + QStringLiteral(".take");
}

bool ClipSource::isCached(const ClipJob& job) const {
    return QFileInfo::exists(job.path);
}

bool ClipSource::checkCached(const ClipJob& job, QString* error) const {
    return ensureCachedAudioFileIsUsable(job.path, job.request.outputFormat, error);
}

bool ClipSource::setAside(const ClipJob& job, QString* asidePath) const {
    constexpr int kMaxSetAside = 100;
    for (int n = 1; n <= kMaxSetAside; ++n) {
        const QString candidate = job.path + (n == 1 ? QStringLiteral(".unusable")
                                                     : QStringLiteral(".unusable-%1").arg(n));
        if (QFileInfo::exists(candidate)) {
            continue;
        }
        if (!QFile::rename(job.path, candidate)) {
            return false;
        }
        *asidePath = candidate;
        return true;
    }
    return false;
}

bool ClipSource::hasUsableAlignment(const ClipJob& job, QString* error) const {
    if (!QFileInfo::exists(job.alignmentPath)) {
        return false;
    }
    const std::optional<WordAlignment> alignment = readAlignmentFile(job.alignmentPath, error);
    if (!alignment) {
        return false;
    }
    // Read back against its clip: one that runs past the clip would cut it wrongly.
    const std::optional<double> seconds = cachedClipSeconds(job.path, error);
    return seconds && alignmentFitsAudio(*alignment, *seconds, error);
}

bool ClipSource::setAlignmentAside(const ClipJob& job) const {
    const QString aside = job.alignmentPath + QStringLiteral(".unusable");
    QFile::remove(aside);
    return QFile::rename(job.alignmentPath, aside);
}

bool ClipSource::store(const ClipJob& job, const QByteArray& audio, QString* error,
                       const WordAlignment* alignment) const {
    const std::optional<ServiceOutputFormat> format = parseOutputFormat(job.request.outputFormat);
    if (!format) {
        // Formats are checked when the run starts; a request built elsewhere is stored unchecked.
        return writeSynthesizedAudioToCache(job.request.outputFormat, job.path, audio, error);
    }
    // An answer that does not hold what was asked must never become a trusted clip.
    const CheckedAnswer checked = checkServiceAnswer(*format, audio);
    if (!checked.cacheBytes) {
        if (error) {
            *error = checked.error;
        }
        return false;
    }
    // The alignment goes first: a clip in the cache then has its alignment whenever it was
    // made with one.
    if (alignment && (!alignmentFitsAudio(*alignment, checked.seconds, error) ||
                      !writeCacheFile(job.alignmentPath, alignmentFileBytes(*alignment), error))) {
        return false;
    }
    return writeCacheFile(job.path, *checked.cacheBytes, error);
}

} // namespace lyrane
