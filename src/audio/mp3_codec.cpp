#include "audio/mp3_codec.h"
#include "audio/atomic_output.h"
#include "audio/audio_error.h"
#include "audio/mp3_info_tag.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QObject>

namespace lyrane {

using audio_detail::setError;

namespace {

// The audio frames as they reach the file, behind room for the Info frame written last.
class TaggedMp3File {
public:
    TaggedMp3File(QFile& file, const Mp3FramePattern& pattern, const PacketSink& observe)
        : m_file(file), m_pattern(pattern), m_observe(observe),
          m_tagged(!file.isSequential() && !makeMp3InfoFrame(pattern, Mp3InfoTag{}).isEmpty()) {}

    bool add(const QByteArray& frame) {
        if (m_frames == 0 && m_tagged && !put(QByteArray(m_pattern.unpaddedFrameBytes(), '\0'))) {
            return false;
        }
        if (!put(frame)) {
            return false;
        }
        ++m_frames;
        m_musicCrc = mp3TagCrc(frame.constData(), frame.size(), m_musicCrc);
        if (m_observe) {
            m_observe(reinterpret_cast<const uint8_t*>(frame.constData()), int(frame.size()));
        }
        return true;
    }

    // The Info frame over the room left for it, once every frame is written.
    bool writeTag(int initialPadding, qint64 samples, QString* problem) {
        if (!m_tagged || m_frames == 0) {
            return true;
        }
        Mp3InfoTag tag;
        tag.frames = m_frames;
        tag.bytes = m_bytes;
        tag.encoderDelay = initialPadding - kMp3DecoderDelay;
        tag.endPadding =
            int(m_frames * m_pattern.header().samplesPerFrame() - tag.encoderDelay - samples);
        tag.musicCrc = m_musicCrc;
        const QByteArray info = makeMp3InfoFrame(m_pattern, tag);
        if (info.isEmpty()) {
            *problem = QObject::tr("the stream does not fit its Info tag");
            return false;
        }
        m_writeFailed = !m_file.seek(0) || m_file.write(info) != info.size();
        return !m_writeFailed;
    }

    bool writeFailed() const { return m_writeFailed; }

private:
    bool put(const QByteArray& bytes) {
        if (m_file.write(bytes) != bytes.size()) {
            m_writeFailed = true;
            return false;
        }
        m_bytes += bytes.size();
        return true;
    }

    QFile& m_file;
    const Mp3FramePattern& m_pattern;
    const PacketSink& m_observe;
    bool m_tagged;
    bool m_writeFailed = false;
    qint64 m_frames = 0;
    qint64 m_bytes = 0;
    quint16 m_musicCrc = 0;
};

} // namespace

bool writeMp3File(int sampleRate, int bitRate, const QString& path,
                  const std::function<bool(const Pcm16Sink&)>& produce, QString* error,
                  const Mp3WriteOptions& options) {
    const std::optional<Mp3StreamFormat> format = probeMp3Format(sampleRate, bitRate, error);
    if (!format) {
        return false;
    }
    // The target is replaced only once the file is whole (a device or pipe is written
    // directly), so an interrupted run never leaves a partial file under the final name.
    AtomicOutput output(path);
    QFile file;
    if (!output.open(file)) {
        setError(error, QObject::tr("failed to create MP3 file"));
        return false;
    }
    TaggedMp3File frames(file, format->pattern, options.observe);
    Mp3SeamAssembler assembler(
        Mp3FramePacker(format->pattern),
        [&frames](qint64, const QByteArray& frame) { return frames.add(frame); });
    Mp3ChunkedEncoder::Setup setup;
    setup.sampleRate = sampleRate;
    setup.bitRate = bitRate;
    setup.format = *format;
    setup.plan = options.plan;
    setup.threads = options.threads;
    Mp3ChunkedEncoder encoder(setup, assembler);
    QString problem;
    const bool produced =
        produce([&encoder](const qint16* samples, qint64 count) {
            return encoder.write(samples, count);
        }) &&
        encoder.finish(true) && assembler.finishStream() &&
        frames.writeTag(format->initialPadding, encoder.samplesWritten(), &problem);
    if (options.seams) {
        *options.seams = encoder.counts();
    }
    bool writeFailed = frames.writeFailed();
    if (produced && !writeFailed) {
        writeFailed = !output.finish(file, nullptr);
    }
    if (writeFailed) {
        setError(error, QObject::tr("failed to write MP3 file"));
        return false;
    }
    if (!produced) {
        if (problem.isEmpty() && encoder.failure() == Mp3ChunkedEncoder::Failure::Encoder) {
            problem = encoder.error();
        }
        if (problem.isEmpty() &&
            (encoder.failure() == Mp3ChunkedEncoder::Failure::Output || assembler.failed())) {
            problem = QObject::tr("the MP3 encoder's frames could not be laid out");
        }
        if (!problem.isEmpty()) {
            setError(error, QObject::tr("failed to encode MP3 file %1: %2").arg(path, problem));
        }
        return false;
    }
    return true;
}

namespace {

bool encodeSamples(const QList<double>& samples, const Pcm16Sink& sink) {
    constexpr qsizetype kChunk = 8192;
    qint16 converted[kChunk];
    for (qsizetype offset = 0; offset < samples.size(); offset += kChunk) {
        const qsizetype n = qMin(kChunk, samples.size() - offset);
        const double* in = samples.constData() + offset;
        for (qsizetype k = 0; k < n; ++k) {
            converted[k] = toPcm16(in[k]);
        }
        if (!sink(converted, n)) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<QByteArray> encodeMp3ToBytes(const AudioBuffer& buffer, int bitRate, QString* error) {
    Mp3Encoder encoder;
    if (!encoder.open(buffer.sampleRate, bitRate, error)) {
        return std::nullopt;
    }
    QByteArray bytes;
    const PacketSink sink = [&bytes](const uint8_t* data, int size) {
        bytes.append(reinterpret_cast<const char*>(data), size);
        return true;
    };
    const Pcm16Sink encode = [&](const qint16* samples, qint64 count) {
        return encoder.write(samples, count, sink);
    };
    if (!encodeSamples(buffer.samples, encode) || !encoder.finish(sink)) {
        setError(error, QObject::tr("failed to encode MP3 audio"));
        return std::nullopt;
    }
    return bytes;
}

bool encodeMp3(const AudioBuffer& buffer, const QString& path, int bitRate, QString* error,
               const Mp3WriteOptions& options) {
    return writeMp3File(
        buffer.sampleRate, bitRate, path,
        [&buffer](const Pcm16Sink& sink) { return encodeSamples(buffer.samples, sink); }, error,
        options);
}

bool encodeMp3(const AudioBuffer& buffer, const QString& path, QString* error) {
    return encodeMp3(buffer, path, kMp3BitRate, error);
}

} // namespace lyrane
