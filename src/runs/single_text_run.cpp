#include "runs/single_text_run.h"

#include "audio/clip_loading.h"
#include "audio/encoded_loudness.h"
#include "audio/loudness.h"
#include "audio/mp3_codec.h"
#include "audio/wav_file.h"
#include "cache/file_helpers.h"
#include "cli/console.h"
#include "runs/run_preparation.h"
#include "synthesis/elevenlabs_client.h"
#include "synthesis/synthesis_job.h"

#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QObject>

namespace lyrane {

namespace {

class SingleTextRun {
public:
    SingleTextRun(const Config& config, const QString& text, const RunResources& resources)
        : config(config), text(text), resources(resources),
          voiceId(ElevenLabsClient::voiceIdForName(config.voice)),
          extension(cacheExtensionForOutputFormat(config.outputFormat)),
          contentType(contentTypeForExtension(extension)),
          key(resources.cache.calculateChecksum(text, config.previousText, config.nextText, voiceId,
                                                config.speed)),
          cachePath(resources.cache.getCachePath(key, extension)),
          objectKey(resources.mirror.isEnabled() ? resources.mirror.objectKey(key, extension)
                                                 : QString()),
          isMp3(outputFormatIsMp3(config.outputFormat)) {}

    int run() {
        if (!obtainClip()) {
            return 1;
        }
        if (config.noPadding) {
            printError(QObject::tr("\n--no-padding mode: Audio segment generated successfully.\n"));
            printError(QObject::tr("Segment file: %1\n").arg(cachePath));
            return 0;
        }
        return writeOutput();
    }

private:
    bool fail(const QString& message) {
        printError(message);
        return false;
    }

    bool obtainClip() {
        QString error;
        if (resources.cache.exists(key, extension)) {
            if (!isMp3 && !ensureCachedAudioFileIsUsable(cachePath, config.outputFormat, &error)) {
                return fail(QObject::tr("Cached audio is unusable: %1\n").arg(error));
            }
            return reportCachedClip();
        }
        if (resources.mirror.isEnabled()) {
            bool downloaded = false;
            if (!resources.mirror.downloadIfExists(objectKey, cachePath, &downloaded, &error)) {
                return fail(QObject::tr("S3 cache download failed: %1\n").arg(error));
            }
            if (downloaded) {
                if (!isMp3 &&
                    !ensureCachedAudioFileIsUsable(cachePath, config.outputFormat, &error)) {
                    QFile::remove(cachePath);
                    return fail(QObject::tr("Downloaded audio cache is unusable: %1\n").arg(error));
                }
                printError(QObject::tr("Downloaded audio from S3: %1\n").arg(objectKey));
            }
            if (resources.cache.exists(key, extension)) {
                return reportCachedClip();
            }
        }
        return synthesizeClip();
    }

    bool synthesizeClip() {
        printError(QObject::tr("Generating audio for text...\n"));
        TtsRequest request;
        request.text = text;
        request.voiceId = voiceId;
        request.previousText = config.previousText;
        request.nextText = config.nextText;
        request.outputFormat = config.outputFormat;
        request.speed = config.speed;

        QNetworkAccessManager network;
        ElevenLabsClient client(&network);
        client.setTransferTimeoutMs(config.timeoutMs);
        SynthesisResult result;
        QEventLoop loop;
        synthesizeWithRetries(
            client, request, resources.apiKey, RetryPolicy{config.retries}, &loop, nullptr,
            [retries = config.retries](int delayMs, int attempt, const QString& message) {
                printError(QObject::tr("Retrying in %1 ms (attempt %2 of %3): %4\n")
                               .arg(delayMs)
                               .arg(attempt)
                               .arg(retries)
                               .arg(message));
            },
            [&](const SynthesisResult& finished) {
                result = finished;
                loop.quit();
            });
        loop.exec();

        QString error;
        if (!result.audio) {
            return fail(QObject::tr("Failed to generate audio: %1\n").arg(result.error));
        }
        if (!writeSynthesizedAudioToCache(config.outputFormat, cachePath, *result.audio, &error)) {
            return fail(QObject::tr("Failed to cache audio: %1\n").arg(error));
        }
        if (resources.mirror.isEnabled()) {
            if (!resources.mirror.uploadFile(objectKey, cachePath, contentType, &error)) {
                return fail(QObject::tr("S3 cache upload failed: %1\n").arg(error));
            }
            printError(QObject::tr("Uploaded audio to S3: %1\n").arg(objectKey));
        }
        printError(QObject::tr("Audio generated successfully: %1\n").arg(cachePath));
        return true;
    }

    bool reportCachedClip() {
        QString error;
        if (resources.mirror.isEnabled()) {
            bool found = false;
            if (!resources.mirror.exists(objectKey, &found, &error)) {
                return fail(QObject::tr("S3 cache check failed: %1\n").arg(error));
            }
            if (!found) {
                if (!resources.mirror.uploadFile(objectKey, cachePath, contentType, &error)) {
                    return fail(QObject::tr("S3 cache upload failed: %1\n").arg(error));
                }
                printError(QObject::tr("Uploaded cached audio to S3: %1\n").arg(objectKey));
            }
        }
        printError(QObject::tr("Using cached audio: %1\n").arg(cachePath));
        return true;
    }

    int writeOutput() {
        QString error;
        std::optional<AudioBuffer> clip = loadAudio(cachePath, &error);
        if (!clip) {
            printError(QObject::tr("Failed to load audio segment: %1\n").arg(error));
            return 1;
        }
        std::optional<LoudnessGain> gain;
        if (config.loudnessLufs) {
            gain = applyLoudnessTarget(*clip, *config.loudnessLufs, config.truePeakDbtp, &error);
            if (!gain) {
                printError(QObject::tr("Failed to measure loudness: %1\n").arg(error));
                return 1;
            }
        }
        const auto reportLoudness = [&] {
            if (gain) {
                printError(loudnessReport(*gain, *config.loudnessLufs, config.truePeakDbtp));
            }
            return 0;
        };
        QString name = config.outputFile;
        if (name.endsWith(QLatin1String(".mp3"), Qt::CaseInsensitive)) {
            const bool written = gain ? encodeMp3AtLoudness(*clip, name, *config.loudnessLufs,
                                                            config.truePeakDbtp, *gain, &error)
                                      : encodeMp3(*clip, name, &error);
            if (!written) {
                printError(QObject::tr("Failed to write MP3 output file: %1\n").arg(error));
                return 1;
            }
            printError(QObject::tr("Created MP3 audio file: %1\n").arg(name));
            return reportLoudness();
        }
        if (!name.endsWith(QLatin1String(".wav"), Qt::CaseInsensitive)) {
            name += QStringLiteral(".wav");
        }
        if (!writeWav(*clip, name, &error)) {
            printError(QObject::tr("Failed to write WAV output file: %1\n").arg(error));
            return 1;
        }
        printError(QObject::tr("Created WAV audio file: %1\n").arg(name));
        return reportLoudness();
    }

    const Config& config;
    const QString text;
    const RunResources& resources;
    const QString voiceId;
    const QString extension;
    const QString contentType;
    const QString key;
    const QString cachePath;
    const QString objectKey;
    const bool isMp3;
};

} // namespace

int runSingleText(const Config& config) {
    const std::optional<QString> text = loadTextToSpeak(config);
    if (!text) {
        return 1;
    }
    const std::optional<RunResources> resources = prepareRunResources(config);
    if (!resources) {
        return 1;
    }
    return SingleTextRun(config, *text, *resources).run();
}

} // namespace lyrane
