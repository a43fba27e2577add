#include "synthesis/segment_generation.h"

#include "cache/file_helpers.h"
#include "cli/console.h"
#include "synthesis/synthesis_job.h"

#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

namespace lyrane {

namespace {

const QString kTimeFormat = QStringLiteral("HH:mm:ss.zzz");

// Drives the cues through their tiers as a set of asynchronous steps, so that several cues
// can wait on the service or the aws tool at once. With one job this is the plain loop.
class SegmentGenerator : public QObject {
public:
    SegmentGenerator(const QList<VttCue>& cues, const Config& config, const RunResources& resources,
                     const ElevenLabsClient& client)
        : cues(cues), config(config), resources(resources), client(client),
          voiceId(ElevenLabsClient::voiceIdForName(config.voice)),
          extension(cacheExtensionForOutputFormat(config.outputFormat)),
          contentType(contentTypeForExtension(extension)),
          isMp3(outputFormatIsMp3(config.outputFormat)) {
        count = config.limit == 0 ? int(cues.size()) : std::min(config.limit, int(cues.size()));
        segments.resize(count);
    }

    std::optional<QList<AudioSegment>> run() {
        QTimer::singleShot(0, this, [this] { startMoreCues(); });
        loop.exec();
        if (failed) {
            return std::nullopt;
        }
        printError(QObject::tr("Generated %1 audio segments\n").arg(segments.size()));
        return segments;
    }

private:
    struct CueWork {
        QString cacheFile; // key plus extension: cues with equal keys share one file
        QString objectKey;
    };

    void startMoreCues() {
        // Steps that finish at once call back in here; the outer loop fills the freed slot,
        // so a long fully cached file does not nest one call per cue.
        if (starting) {
            return;
        }
        starting = true;
        while (!failed && inFlight < config.jobs && nextCue < count) {
            ++inFlight;
            startCue(nextCue++);
        }
        starting = false;
        if (inFlight == 0) {
            loop.quit();
        }
    }

    void finishCue(int index) {
        const QString cacheFile = work.take(index).cacheFile;
        // Cues that waited for this clip now find it in the cache.
        const QList<int> waiting = waitersByFile.take(cacheFile);
        busyFiles.remove(cacheFile);
        --inFlight;
        for (int waiter : waiting) {
            if (failed) {
                --inFlight;
            } else {
                lookUp(waiter);
            }
        }
        startMoreCues();
    }

    // Only the first failure is reported: what fails after it while the steps in flight
    // finish is almost always the same cause again.
    void failCue(int index, const QString& message) {
        if (!failed) {
            printError(message);
            failed = true;
            // Cues waiting to retry would only wait to be dropped.
            const QList<std::shared_ptr<RetryHandle>> waiting = pendingRetries.values();
            for (const auto& handle : waiting) {
                handle->cancelPendingRetry();
            }
        }
        finishCue(index);
    }

    void startCue(int index) {
        const QString& text = cues[index].text;
        const QString previous = index > 0 ? cues[index - 1].text : QString();
        const QString next = index + 1 < cues.size() ? cues[index + 1].text : QString();
        const QString checksum =
            resources.cache.calculateChecksum(text, previous, next, voiceId, config.speed);

        AudioSegment& segment = segments[index];
        segment.filePath = resources.cache.getCachePath(checksum, extension);
        segment.startMs = cues[index].startMs;
        segment.endMs = cues[index].endMs;
        segment.text = text;
        segment.checksum = checksum;
        segment.speed = config.speed;

        CueWork& cue = work[index];
        cue.cacheFile = checksum + extension;
        if (resources.mirror.isEnabled()) {
            cue.objectKey = resources.mirror.objectKey(checksum, extension);
        }
        if (busyFiles.contains(cue.cacheFile)) {
            // The same clip is already being fetched for an earlier cue: never pay twice.
            waitersByFile[cue.cacheFile].append(index);
            return;
        }
        lookUp(index);
    }

    void lookUp(int index) {
        const CueWork& cue = work[index];
        busyFiles.insert(cue.cacheFile);
        const QString checksum = segments[index].checksum;
        if (resources.cache.exists(checksum, extension)) {
            useCachedClip(index);
        } else if (resources.mirror.isEnabled()) {
            downloadFromMirror(index);
        } else {
            synthesize(index);
        }
    }

    void useCachedClip(int index) {
        const AudioSegment& segment = segments[index];
        QString error;
        if (!isMp3 &&
            !ensureCachedAudioFileIsUsable(segment.filePath, config.outputFormat, &error)) {
            failCue(index, QObject::tr("Cached segment is unusable: %1\n").arg(error));
            return;
        }
        if (!resources.mirror.isEnabled()) {
            reportCacheHit(index);
            return;
        }
        const QString objectKey = work[index].objectKey;
        resources.mirror.existsAsync(
            objectKey, this, [this, index, objectKey](bool ok, bool found, const QString& error) {
                if (!ok) {
                    failCue(index, QObject::tr("S3 cache check failed: %1\n").arg(error));
                } else if (found) {
                    reportCacheHit(index);
                } else {
                    resources.mirror.uploadFileAsync(
                        objectKey, segments[index].filePath, contentType, this,
                        [this, index, objectKey](bool ok, const QString& error) {
                            if (!ok) {
                                failCue(index,
                                        QObject::tr("S3 cache upload failed: %1\n").arg(error));
                                return;
                            }
                            printError(
                                QObject::tr("Uploaded cached segment to S3: %1\n").arg(objectKey));
                            reportCacheHit(index);
                        });
                }
            });
    }

    void reportCacheHit(int index) {
        printError(QObject::tr("Segment %1/%2 found in cache: %3\n")
                       .arg(index + 1)
                       .arg(count)
                       .arg(segments[index].filePath));
        finishCue(index);
    }

    void downloadFromMirror(int index) {
        const QString objectKey = work[index].objectKey;
        const QString path = segments[index].filePath;
        resources.mirror.downloadIfExistsAsync(
            objectKey, path, this,
            [this, index, objectKey, path](bool ok, bool downloaded, const QString& error) {
                if (!ok) {
                    failCue(index, QObject::tr("S3 cache download failed: %1\n").arg(error));
                    return;
                }
                if (!downloaded) {
                    synthesize(index);
                    return;
                }
                QString checkError;
                if (!isMp3 &&
                    !ensureCachedAudioFileIsUsable(path, config.outputFormat, &checkError)) {
                    // A bad object must not become a trusted local clip.
                    QFile::remove(path);
                    failCue(
                        index,
                        QObject::tr("Downloaded cached segment is unusable: %1\n").arg(checkError));
                    return;
                }
                printError(QObject::tr("Downloaded segment from S3: %1\n").arg(objectKey));
                finishCue(index);
            });
    }

    void synthesize(int index) {
        const VttCue& cue = cues[index];
        printError(QObject::tr("Generating audio for segment %1/%2 (from %3 to %4) using voice %5 "
                               "in %6 format... %7\n")
                       .arg(index + 1)
                       .arg(count)
                       .arg(cue.startTime().toString(kTimeFormat))
                       .arg(cue.endTime().toString(kTimeFormat))
                       .arg(config.voice)
                       .arg(config.outputFormat)
                       .arg(cue.text));
        TtsRequest request;
        request.text = cue.text;
        request.voiceId = voiceId;
        request.previousText = index > 0 ? cues[index - 1].text : QString();
        request.nextText = index + 1 < cues.size() ? cues[index + 1].text : QString();
        request.outputFormat = config.outputFormat;
        request.speed = config.speed;

        pendingRetries[index] = synthesizeWithRetries(
            client, request, resources.apiKey, RetryPolicy{config.retries}, this,
            [this] { return !failed; },
            [index, retries = config.retries](int delayMs, int attempt, const QString& message) {
                printError(QObject::tr("Retrying segment %1 in %2 ms (attempt %3 of %4): %5\n")
                               .arg(index + 1)
                               .arg(delayMs)
                               .arg(attempt)
                               .arg(retries)
                               .arg(message));
            },
            [this, index](const SynthesisResult& result) { storeClip(index, result); });
    }

    void storeClip(int index, const SynthesisResult& result) {
        pendingRetries.remove(index);
        if (result.abandoned) {
            finishCue(index);
            return;
        }
        if (!result.audio) {
            failCue(index, QObject::tr("Failed to generate audio for segment %1: %2\n")
                               .arg(index + 1)
                               .arg(result.error));
            return;
        }
        const QString path = segments[index].filePath;
        QString error;
        if (!writeSynthesizedAudioToCache(config.outputFormat, path, *result.audio, &error)) {
            failCue(index,
                    QObject::tr("Failed to cache segment %1: %2\n").arg(index + 1).arg(error));
            return;
        }
        if (!resources.mirror.isEnabled()) {
            reportCreated(index);
            return;
        }
        const QString objectKey = work[index].objectKey;
        resources.mirror.uploadFileAsync(
            objectKey, path, contentType, this,
            [this, index, objectKey](bool ok, const QString& error) {
                if (!ok) {
                    failCue(index, QObject::tr("S3 cache upload failed: %1\n").arg(error));
                    return;
                }
                printError(QObject::tr("Uploaded segment to S3: %1\n").arg(objectKey));
                reportCreated(index);
            });
    }

    void reportCreated(int index) {
        printError(
            QObject::tr("Created segment %1: %2\n").arg(index + 1).arg(segments[index].filePath));
        finishCue(index);
    }

    const QList<VttCue>& cues;
    const Config& config;
    const RunResources& resources;
    const ElevenLabsClient& client;
    const QString voiceId;
    const QString extension;
    const QString contentType;
    const bool isMp3;
    int count = 0;

    QList<AudioSegment> segments;
    QHash<int, CueWork> work;
    QHash<int, std::shared_ptr<RetryHandle>> pendingRetries;
    QSet<QString> busyFiles;
    QHash<QString, QList<int>> waitersByFile;
    int nextCue = 0;
    int inFlight = 0;
    bool failed = false;
    bool starting = false;
    QEventLoop loop;
};

} // namespace

std::optional<QList<AudioSegment>> generateSegments(const QList<VttCue>& cues, const Config& config,
                                                    const RunResources& resources,
                                                    const ElevenLabsClient& client) {
    SegmentGenerator generator(cues, config, resources, client);
    return generator.run();
}

} // namespace lyrane
