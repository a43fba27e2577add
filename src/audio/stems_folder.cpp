#include "audio/stems_folder.h"

#include "audio/audio_error.h"
#include "audio/resampling.h"

#include <QDir>
#include <QFileInfo>
#include <QObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace lyrane {

const char* const kVoiceOverStemName = "voice-over.wav";

using audio_detail::fail;

QString stemFileName(int number) {
    return QStringLiteral("%1.wav").arg(number, 4, 10, QLatin1Char('0'));
}

namespace {

constexpr qint64 kStaleAfterSeconds = 3600;

// A folder is replaced only when it holds nothing but what this writer puts there.
bool mayReplace(const QString& directory, QString* error) {
    const QFileInfo info(directory);
    if (!info.exists()) {
        return true;
    }
    if (!info.isDir()) {
        return fail(
            error,
            QObject::tr("cannot write stems to %1: it exists and is not a folder").arg(directory));
    }
    static const QRegularExpression stem(QStringLiteral("^\\d{4,}\\.wav$"));
    const QFileInfoList entries = QDir(directory).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        if (!entry.isFile() || (entry.fileName() != QLatin1String(kVoiceOverStemName) &&
                                !stem.match(entry.fileName()).hasMatch())) {
            return fail(error, QObject::tr("cannot write stems to %1: the folder holds other "
                                           "files than stems (%2); name a new folder")
                                   .arg(directory, entry.fileName()));
        }
    }
    return true;
}

// What runs that were stopped by force left beside the folder.
void removeStaleTemporaries(const QFileInfo& target) {
    const QDir parent = target.absoluteDir();
    const QDateTime before = QDateTime::currentDateTime().addSecs(-kStaleAfterSeconds);
    const QStringList names =
        parent.entryList({QStringLiteral(".%1.part-*").arg(target.fileName())},
                         QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        const QFileInfo stale(parent.filePath(name));
        if (stale.lastModified() < before) {
            QDir(stale.absoluteFilePath()).removeRecursively();
        }
    }
}

// The output plan at the stems' rate: each start rounded to the nearest 48 kHz sample.
TimelinePlan planAtStemRate(const TimelinePlan& plan, const QList<qint64>& lengths) {
    const qint64 from = plan.sampleRate;
    const qint64 to = kBroadcastWavSampleRate;
    TimelinePlan scaled;
    scaled.sampleRate = kBroadcastWavSampleRate;
    scaled.placements = plan.placements;
    scaled.totalSamples = resampledLength(plan.totalSamples, int(from), int(to));
    for (qsizetype j = 0; j < plan.startSamples.size(); ++j) {
        const qint64 start = (plan.startSamples[j] * to + from / 2) / from;
        scaled.startSamples.append(start);
        scaled.totalSamples = qMax(scaled.totalSamples, start + lengths.value(j));
    }
    return scaled;
}

class StemWriter {
public:
    StemWriter(const StemsSource& source, const QString& folder)
        : source(source), folder(folder), written(size_t(source.lengths.size()), false),
          resampler(ResamplingPrecision::Single) {}

    // Clip j at 48 kHz into `clip`, its own file written on the way. The voice-over asks for
    // the clips in order but passes over empty ones: those before j are written first, so the
    // source is still read in order.
    bool load(qsizetype j, AudioBuffer& clip, QString* error);
    // The clips after the last the voice-over asked for.
    bool writeRemaining(QString* error);

    QList<qint64> lengths; // at 48 kHz
    TimelinePlan plan;

private:
    bool loadOne(qsizetype j, AudioBuffer& clip, QString* error);
    bool writeStem(qsizetype j, const AudioBuffer& clip, QString* error);

    const StemsSource& source;
    QString folder;
    std::vector<bool> written;
    qsizetype next = 0; // the first clip not loaded yet
    // Kept from clip to clip: fresh memory for each cost more than the resampling.
    ClipResampler resampler;
    AudioBuffer raw;
    AudioBuffer skipped;
    std::vector<double> leveled;
};

bool StemWriter::load(qsizetype j, AudioBuffer& clip, QString* error) {
    for (; next < j; ++next) {
        if (!written[size_t(next)] && !loadOne(next, skipped, error)) {
            return false;
        }
    }
    next = qMax(next, j + 1);
    return loadOne(j, clip, error);
}

bool StemWriter::loadOne(qsizetype j, AudioBuffer& clip, QString* error) {
    if (!source.load(j, raw, error)) {
        return false;
    }
    if (raw.sampleRate == kBroadcastWavSampleRate || raw.samples.isEmpty()) {
        std::swap(clip, raw);
        clip.sampleRate = kBroadcastWavSampleRate;
    } else if (!resampler.resample(raw, kBroadcastWavSampleRate, clip, error)) {
        return false;
    }
    return written[size_t(j)] || writeStem(j, clip, error);
}

bool StemWriter::writeStem(qsizetype j, const AudioBuffer& clip, QString* error) {
    const StemClip& stem = source.clips[j];
    BroadcastExtension extension;
    extension.description = stem.description;
    extension.originatorReference = stemFileName(stem.number);
    extension.origination = source.origination;
    extension.timeReference =
        source.timeReferenceOrigin + quint64(qMax<qint64>(0, plan.startSamples[j]));
    extension.codingHistory =
        QStringLiteral("A=PCM,F=%1,W=24,M=mono,T=lyrane\r\n").arg(kBroadcastWavSampleRate);
    const qint64 count = clip.samples.size();
    const OutputLevel& level = source.level;
    if (!writeBroadcastWavFile(
            count, kBroadcastWavSampleRate, extension,
            QDir(folder).filePath(stemFileName(stem.number)),
            [&](const SampleSink& sink) {
                leveled.resize(size_t(1) << 16);
                for (qint64 at = 0; at < count; at += qint64(leveled.size())) {
                    const qint64 n = qMin(count - at, qint64(leveled.size()));
                    for (qint64 i = 0; i < n; ++i) {
                        leveled[size_t(i)] = atOutputLevel(level, clip.samples[at + i]);
                    }
                    if (!sink(leveled.data(), n)) {
                        return false;
                    }
                }
                return true;
            },
            error, FileWriting::InPlace)) {
        return false;
    }
    written[size_t(j)] = true;
    return true;
}

bool StemWriter::writeRemaining(QString* error) {
    for (; next < source.lengths.size(); ++next) {
        if (!written[size_t(next)] && !loadOne(next, skipped, error)) {
            return false;
        }
    }
    return true;
}

// Puts the files and the folder's list of them on the disk: all written first, then synced at
// once, so the disk is not waited on once a file.
bool syncFolder(const QString& folder, QString* error) {
    QStringList paths;
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden)) {
        paths << QDir(folder).filePath(name);
    }
    paths << folder;
    for (const QString& path : std::as_const(paths)) {
        const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        const bool synced = descriptor >= 0 && ::fsync(descriptor) == 0;
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        if (!synced) {
            return fail(error, QObject::tr("failed to write %1: %2").arg(path, reason));
        }
    }
    return true;
}

// Puts the finished folder in the place of `directory`, an earlier one moved aside first.
bool replaceFolder(const QString& finished, const QString& directory, QString* error) {
    const QFileInfo target(directory);
    const QString aside = finished + QStringLiteral(".old");
    const bool hadOne = target.exists();
    if (hadOne && !QDir().rename(directory, aside)) {
        return fail(error, QObject::tr("failed to replace stems folder %1").arg(directory));
    }
    if (!QDir().rename(finished, directory)) {
        if (hadOne) {
            QDir().rename(aside, directory);
        }
        return fail(error, QObject::tr("failed to create stems folder %1").arg(directory));
    }
    if (hadOne) {
        QDir(aside).removeRecursively();
    }
    return true;
}

} // namespace

bool writeStemsFolder(const StemsSource& source, const QString& directory, QString* error,
                      const StopCheck& stopped) {
    const TimelinePlan& plan = source.plan;
    if (plan.sampleRate <= 0 || plan.startSamples.size() != source.lengths.size() ||
        source.clips.size() != source.lengths.size() || !source.load) {
        return fail(error, QObject::tr("timeline plan does not match the segments"));
    }
    if (!mayReplace(directory, error)) {
        return false;
    }
    const QFileInfo target(directory);
    removeStaleTemporaries(target);
    QTemporaryDir temporary(
        target.absoluteDir().filePath(QStringLiteral(".%1.part-XXXXXX").arg(target.fileName())));
    if (!temporary.isValid()) {
        return fail(error, QObject::tr("failed to create stems folder %1: %2")
                               .arg(directory, temporary.errorString()));
    }
    QFile::setPermissions(temporary.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                QFile::ReadGroup | QFile::ExeGroup |
                                                QFile::ReadOther | QFile::ExeOther);

    StemWriter stems(source, temporary.path());
    for (const qint64 length : source.lengths) {
        stems.lengths.append(resampledLength(length, plan.sampleRate, kBroadcastWavSampleRate));
    }
    stems.plan = planAtStemRate(plan, stems.lengths);
    BroadcastExtension voiceOver;
    voiceOver.description = QObject::tr("Narration alone over the whole timeline");
    voiceOver.originatorReference = QLatin1String(kVoiceOverStemName);
    voiceOver.origination = source.origination;
    voiceOver.timeReference = source.timeReferenceOrigin;
    voiceOver.codingHistory =
        QStringLiteral("A=PCM,F=%1,W=24,M=mono,T=lyrane\r\n").arg(kBroadcastWavSampleRate);
    const TimelineClipLoader load = [&stems](qsizetype j, AudioBuffer& clip, QString* why) {
        return stems.load(j, clip, why);
    };
    if (!writeStreamedTimelineBroadcastWav(
            stems.plan, stems.lengths, source.level, load, voiceOver,
            QDir(temporary.path()).filePath(QLatin1String(kVoiceOverStemName)), error, stopped) ||
        !stems.writeRemaining(error)) {
        return false;
    }
    if (stopRequested(stopped)) {
        return fail(error, QObject::tr("stopped before the output was complete"));
    }
    if (!syncFolder(temporary.path(), error) ||
        !replaceFolder(temporary.path(), directory, error)) {
        return false;
    }
    temporary.setAutoRemove(false);
    return true;
}

} // namespace lyrane
