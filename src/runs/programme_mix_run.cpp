#include "runs/programme_mix_run.h"

#include "audio/atomic_output.h"
#include "audio/loudness.h"
#include "audio/programme_mix.h"
#include "runs/console.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QTemporaryFile>
#include <QtEndian>

#include <vector>

namespace lyrane {

namespace {

// Reads back the 16-bit mono WAV that the narration was rendered to, a slice at a time.
class NarrationWavReader {
public:
    bool open(const QString& path, QString* error) {
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly)) {
            return fail(error, file.errorString());
        }
        const QByteArray riff = file.read(12);
        if (riff.size() != 12 || !riff.startsWith("RIFF") || riff.mid(8, 4) != "WAVE") {
            return fail(error, QObject::tr("not a WAV file"));
        }
        while (true) {
            const QByteArray chunk = file.read(8);
            if (chunk.size() != 8) {
                return fail(error, QObject::tr("WAV file without data"));
            }
            const quint32 size = qFromLittleEndian<quint32>(chunk.constData() + 4);
            if (chunk.startsWith("fmt ")) {
                const QByteArray format = file.read(size + (size & 1));
                if (format.size() < 16 || qFromLittleEndian<quint16>(format.constData()) != 1 ||
                    qFromLittleEndian<quint16>(format.constData() + 2) != 1 ||
                    qFromLittleEndian<quint16>(format.constData() + 14) != 16) {
                    return fail(error, QObject::tr("not a 16-bit mono PCM WAV file"));
                }
                rate = int(qFromLittleEndian<quint32>(format.constData() + 4));
            } else if (chunk.startsWith("data")) {
                remaining = size / 2;
                total = remaining;
                dataStart = file.pos();
                return rate > 0 ? true : fail(error, QObject::tr("WAV file without format"));
            } else if (!file.seek(file.pos() + size + (size & 1))) {
                return fail(error, file.errorString());
            }
        }
    }

    qint64 read(double* out, qint64 max, QString* error) {
        const qint64 count = std::min(max, remaining);
        bytes.resize(size_t(count) * 2);
        if (count > 0 && file.read(reinterpret_cast<char*>(bytes.data()), count * 2) != count * 2) {
            fail(error,
                 QObject::tr("cannot read the rendered narration: %1").arg(file.errorString()));
            return -1;
        }
        for (qint64 i = 0; i < count; ++i) {
            out[i] = qFromLittleEndian<qint16>(bytes.data() + 2 * i) / 32768.0;
        }
        remaining -= count;
        return count;
    }

    bool rewind(QString* error) {
        if (!file.seek(dataStart)) {
            return fail(
                error,
                QObject::tr("cannot read the rendered narration: %1").arg(file.errorString()));
        }
        remaining = total;
        return true;
    }

    int sampleRate() const { return rate; }
    qint64 totalSamples() const { return total; }

private:
    static bool fail(QString* error, const QString& message) {
        if (error) {
            *error = message;
        }
        return false;
    }

    QFile file;
    int rate = 0;
    qint64 remaining = 0;
    qint64 total = 0;
    qint64 dataStart = 0;
    std::vector<uchar> bytes;
};

} // namespace

std::optional<qint64> programmeDurationForRun(const ProgrammeMixSettings& mix) {
    QString error;
    const std::optional<ProgrammeInfo> info = probeProgramme(mix.programmePath, &error);
    if (!info) {
        printError(QObject::tr("Failed to open the programme: %1\n").arg(error));
        return std::nullopt;
    }
    if (mix.audioStream > 0 && mix.audioStream >= info->audioStreamCount) {
        printError(QObject::tr("Failed to open the programme: %1 has no audio stream %2 (it has "
                               "%3 audio streams)\n")
                       .arg(mix.programmePath)
                       .arg(mix.audioStream)
                       .arg(info->audioStreamCount));
        return std::nullopt;
    }
    return info->durationMs;
}

int writeNarrationOverProgramme(
    const ProgrammeMixSettings& mix, const QString& outputFile, const TimelinePlan& plan,
    const std::function<bool(const QString& path, QString* error)>& writeNarrationWav,
    const StopCheck& stopped, const std::function<int()>& interrupted) {
    const QString outputPath = mixedOutputPath(outputFile);

    // What runs that were killed left there goes before this run adds its own.
    removeStaleTemporaryFiles();
    QTemporaryFile narrationFile(
        QDir(QDir::tempPath()).filePath(QStringLiteral("lyrane-narration-XXXXXX.wav")));
    QString error;
    if (!narrationFile.open()) {
        printError(QObject::tr("Failed to mix over the programme: cannot create a temporary "
                               "file: %1\n")
                       .arg(narrationFile.errorString()));
        return 1;
    }
    narrationFile.close();
    if (!writeNarrationWav(narrationFile.fileName(), &error)) {
        if (stopRequested(stopped)) {
            return interrupted();
        }
        printError(QObject::tr("Failed to mix over the programme: %1\n").arg(error));
        return 1;
    }
    NarrationWavReader reader;
    if (!reader.open(narrationFile.fileName(), &error)) {
        printError(QObject::tr("Failed to mix over the programme: %1: %2\n")
                       .arg(narrationFile.fileName(), error));
        return 1;
    }

    NarrationSource narration;
    narration.sampleRate = reader.sampleRate();
    narration.totalSamples = reader.totalSamples();
    for (int k = 0; k < plan.placements.size(); ++k) {
        narration.clips.append(SampleSpan{plan.startSamples[k],
                                          plan.placements[k].actualEndMs * plan.sampleRate / 1000});
    }
    narration.read = [&reader](double* out, qint64 max, QString* readError) {
        return reader.read(out, max, readError);
    };
    narration.stopped = stopped;
    narration.rewind = [&reader](QString* rewindError) {
        return reader.rewind(rewindError);
    };

    printError(QObject::tr("Mixing the narration over %1...\n").arg(mix.programmePath));
    ProgrammeMixReport report;
    if (!mixNarrationOverProgramme(mix, narration, outputPath, &report, &error)) {
        if (stopRequested(stopped)) {
            return interrupted();
        }
        printError(QObject::tr("Failed to mix over the programme: %1\n").arg(error));
        return 1;
    }
    if (!report.hasProgrammeAudio) {
        printError(QObject::tr("%1 has no audio: the narration alone is the sound\n")
                       .arg(mix.programmePath));
    }
    if (isVideoOutputPath(outputPath) && !report.hasProgrammeVideo) {
        printError(
            QObject::tr("%1 has no video: the output has no picture\n").arg(mix.programmePath));
    }
    for (const QString& stream : std::as_const(report.skippedStreams)) {
        printError(
            QObject::tr("Not copied, the output container cannot hold it: %1\n").arg(stream));
    }
    if (report.extendedByMs > 0) {
        printError(QObject::tr("Narration runs past the end of %1: output extended by %2 ms\n")
                       .arg(mix.programmePath)
                       .arg(report.extendedByMs));
    }
    printError(QObject::tr("Created narrated %1 file: %2\n")
                   .arg(QFileInfo(outputPath).suffix().toUpper(), outputPath));
    if (report.loudness) {
        printError(loudnessReport(*report.loudness, *mix.loudnessLufs, mix.truePeakDbtp));
    }
    return 0;
}

} // namespace lyrane
