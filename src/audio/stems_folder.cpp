#include "audio/stems_folder.h"

#include "audio/audio_error.h"
#include "audio/resampling.h"

#include <QDir>
#include <QFileInfo>
#include <QObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <thread>
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

// Clips at 48 kHz, made ahead on a thread of their own in clip order, each one's stem file
// written there: the voice-over is rendered on the caller's thread while the next clips are
// read and resampled. At most kAhead clips wait, and their buffers go round, so memory holds a
// few clips whatever the narration's length.
class StemWriter {
public:
    StemWriter(const StemsSource& source, const QString& folder)
        : source(source), folder(folder), resampler(ResamplingPrecision::Single) {}
    ~StemWriter() {
        {
            const std::lock_guard<std::mutex> guard(lock);
            quit = true;
        }
        changed.notify_all();
        if (worker.joinable()) {
            worker.join();
        }
    }
    StemWriter(const StemWriter&) = delete;
    StemWriter& operator=(const StemWriter&) = delete;

    // Once `lengths` and `plan` are set.
    void start() {
        worker = std::thread([this] { work(); });
    }
    // Clip j at 48 kHz into `clip`. The voice-over asks for the clips in order but passes over
    // empty ones, whose stems are written all the same.
    bool load(qsizetype j, AudioBuffer& clip, QString* error);
    // Waits for the clips after the last the voice-over asked for; false on a failure, or once
    // `stopped` says so.
    bool writeRemaining(const StopCheck& stopped, QString* error);

    QList<qint64> lengths; // at 48 kHz
    TimelinePlan plan;

private:
    static constexpr size_t kAhead = 3;

    struct Made {
        qsizetype index = 0;
        AudioBuffer clip;
    };

    void work();
    bool makeOne(qsizetype j, AudioBuffer& clip, QString* error);
    bool writeStem(qsizetype j, const AudioBuffer& clip, QString* error);
    // Under `lock`: the failure, or that clip j never came.
    bool failedAt(qsizetype j, QString* error) const;

    const StemsSource& source;
    QString folder;
    std::thread worker;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Made> ready;
    std::vector<AudioBuffer> spare;
    bool quit = false;
    bool finished = false;
    bool failed = false;
    QString failure;
    // The worker's own.
    ClipResampler resampler;
    AudioBuffer raw;
    std::vector<double> leveled;
};

void StemWriter::work() {
    for (qsizetype j = 0; j < source.lengths.size(); ++j) {
        AudioBuffer clip;
        {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [this] { return quit || ready.size() < kAhead; });
            if (quit) {
                return;
            }
            if (!spare.empty()) {
                clip = std::move(spare.back());
                spare.pop_back();
            }
        }
        QString error;
        const bool made = makeOne(j, clip, &error);
        {
            const std::lock_guard<std::mutex> guard(lock);
            if (!made) {
                failed = true;
                failure = error;
            } else {
                ready.push_back({j, std::move(clip)});
            }
        }
        changed.notify_all();
        if (!made) {
            return;
        }
    }
    {
        const std::lock_guard<std::mutex> guard(lock);
        finished = true;
    }
    changed.notify_all();
}

bool StemWriter::failedAt(qsizetype j, QString* error) const {
    return fail(
        error,
        failed ? failure
               : QObject::tr("audio segment %1 changed while the output was written").arg(j + 1));
}

bool StemWriter::load(qsizetype j, AudioBuffer& clip, QString* error) {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        changed.wait(guard, [this] { return !ready.empty() || failed || finished; });
        if (ready.empty()) {
            return failedAt(j, error);
        }
        Made& front = ready.front();
        const qsizetype index = front.index;
        if (index == j) {
            std::swap(clip, front.clip);
        }
        spare.push_back(std::move(front.clip));
        ready.pop_front();
        changed.notify_all();
        if (index == j) {
            return true;
        }
        if (index > j) {
            return failedAt(j, error);
        }
    }
}

bool StemWriter::writeRemaining(const StopCheck& stopped, QString* error) {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        while (!ready.empty()) {
            spare.push_back(std::move(ready.front().clip));
            ready.pop_front();
        }
        changed.notify_all();
        if (failed || finished) {
            return !failed || fail(error, failure);
        }
        if (stopRequested(stopped)) {
            return fail(error, QObject::tr("stopped before the output was complete"));
        }
        changed.wait_for(guard, std::chrono::milliseconds(50));
    }
}

bool StemWriter::makeOne(qsizetype j, AudioBuffer& clip, QString* error) {
    if (!source.load(j, raw, error)) {
        return false;
    }
    if (raw.sampleRate == kBroadcastWavSampleRate || raw.samples.isEmpty()) {
        std::swap(clip, raw);
        clip.sampleRate = kBroadcastWavSampleRate;
    } else if (!resampler.resample(raw, kBroadcastWavSampleRate, clip, error)) {
        return false;
    }
    return writeStem(j, clip, error);
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
    return writeBroadcastWavFile(
        count, kBroadcastWavSampleRate, extension, QDir(folder).filePath(stemFileName(stem.number)),
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
        error, FileWriting::InPlace);
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
    stems.start();
    if (!writeStreamedTimelineBroadcastWav(
            stems.plan, stems.lengths, source.level, load, voiceOver,
            QDir(temporary.path()).filePath(QLatin1String(kVoiceOverStemName)), error, stopped) ||
        !stems.writeRemaining(stopped, error)) {
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
