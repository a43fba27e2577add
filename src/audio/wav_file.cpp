#include "audio/wav_file.h"
#include "audio/atomic_output.h"
#include "audio/audio_error.h"

#include <QFileInfo>
#include <QObject>
#include <QtEndian>

#include <cstring>
#include <limits>
#include <vector>

namespace lyrane {

using audio_detail::setError;

namespace {

constexpr qint64 kWriteChunk = 1 << 16;

// What a clip's header may declare; beyond these it is not audio this program reads.
constexpr quint32 kMinWavSampleRate = 1;
constexpr quint32 kMaxWavSampleRate = 768000;
constexpr quint16 kMaxWavChannels = 8;

// Reads little-endian fields; bytes past the end of the file read as 0.
class LittleEndianReader {
public:
    explicit LittleEndianReader(QFile& file) : m_file(file) {}

    quint32 u32() { return static_cast<quint32>(read(4)); }
    quint16 u16() { return static_cast<quint16>(read(2)); }

    void skip(quint64 bytes) {
        const qint64 target =
            m_file.pos() +
            static_cast<qint64>(qMin<quint64>(bytes, std::numeric_limits<qint64>::max() / 2));
        m_file.seek(qMin(target, m_file.size()));
    }

private:
    quint64 read(int n) {
        uchar bytes[4] = {0, 0, 0, 0};
        m_file.read(reinterpret_cast<char*>(bytes), n);
        quint64 value = 0;
        for (int k = n - 1; k >= 0; --k) {
            value = (value << 8) | bytes[k];
        }
        return value;
    }

    QFile& m_file;
};

} // namespace

bool makeWavHeader(qint64 sampleCount, int sampleRate, QByteArray* header, QString* error) {
    const qint64 dataSize = sampleCount * 2;
    if (sampleCount < 0 || dataSize + 36 > static_cast<qint64>(0xFFFFFFFFu)) {
        setError(error, QObject::tr("audio too long for a WAV file: %1 samples exceed the 4 GiB "
                                    "size limit")
                            .arg(sampleCount));
        return false;
    }
    header->resize(44);
    uchar* h = reinterpret_cast<uchar*>(header->data());
    std::memcpy(h, "RIFF", 4);
    qToLittleEndian<quint32>(static_cast<quint32>(36 + dataSize), h + 4);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    qToLittleEndian<quint32>(16, h + 16);
    qToLittleEndian<quint16>(1, h + 20);
    qToLittleEndian<quint16>(1, h + 22);
    qToLittleEndian<qint32>(sampleRate, h + 24);
    qToLittleEndian<qint32>(static_cast<qint32>(static_cast<quint32>(sampleRate) * 2u), h + 28);
    qToLittleEndian<quint16>(2, h + 32);
    qToLittleEndian<quint16>(16, h + 34);
    std::memcpy(h + 36, "data", 4);
    qToLittleEndian<quint32>(static_cast<quint32>(dataSize), h + 40);
    return true;
}

bool writeWavFile(qint64 sampleCount, int sampleRate, const QString& path,
                  const std::function<bool(const Pcm16Sink&)>& produce, QString* error) {
    QByteArray header;
    if (!makeWavHeader(sampleCount, sampleRate, &header, error)) {
        return false;
    }
    AtomicOutput output(path);
    QFile file;
    if (!output.open(file)) {
        setError(error,
                 QObject::tr("failed to create WAV file %1: %2").arg(path, file.errorString()));
        return false;
    }
    bool ok = file.write(header) == header.size();
    qint64 written = 0;
    std::vector<qint16> swapped;
    const auto writer = [&](const qint16* samples, qint64 count) {
        if (!ok) {
            return false;
        }
        const char* bytes = reinterpret_cast<const char*>(samples);
        if constexpr (Q_BYTE_ORDER == Q_BIG_ENDIAN) {
            swapped.resize(static_cast<size_t>(count));
            qToLittleEndian<qint16>(samples, count, swapped.data());
            bytes = reinterpret_cast<const char*>(swapped.data());
        }
        ok = file.write(bytes, count * 2) == count * 2;
        written += count;
        return ok;
    };
    ok = produce(writer) && ok && written == sampleCount;
    QString reason;
    if (ok) {
        ok = output.finish(file, &reason);
    } else {
        reason = file.errorString();
    }
    if (!ok) {
        setError(error, QObject::tr("failed to write WAV file %1: %2").arg(path, reason));
        return false;
    }
    return true;
}

bool readWavHeader(QFile& file, const QString& path, WavLayout* layout, QString* error,
                   bool* notWave) {
    if (notWave) {
        *notWave = false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error,
                 QObject::tr("failed to open WAV file %1: %2").arg(path, file.errorString()));
        return false;
    }
    LittleEndianReader reader(file);
    if (file.read(4) != "RIFF") {
        setError(error, QObject::tr("invalid WAV file: missing RIFF header"));
        if (notWave) {
            *notWave = true;
        }
        return false;
    }
    reader.u32();
    if (file.read(4) != "WAVE") {
        setError(error, QObject::tr("invalid WAV file: missing WAVE header"));
        if (notWave) {
            *notWave = true;
        }
        return false;
    }

    quint32 sampleRate = 0;
    quint16 channels = 0;
    quint16 bitsPerSample = 0;
    while (!file.atEnd()) {
        const QByteArray id = file.read(4);
        if (id.size() != 4) {
            break;
        }
        const quint32 size = reader.u32();
        if (id == "fmt ") {
            const auto format = static_cast<qint16>(reader.u16());
            if (format != 1) {
                setError(error, QObject::tr("unsupported WAV format: only PCM is supported"));
                return false;
            }
            channels = reader.u16();
            sampleRate = reader.u32();
            reader.u32(); // byte rate
            reader.u16(); // block align
            bitsPerSample = reader.u16();
            if (size != 16) {
                reader.skip(static_cast<quint32>(size - 16u));
            }
        } else if (id == "data") {
            if (sampleRate == 0 || channels == 0 || bitsPerSample == 0) {
                setError(error, QObject::tr("invalid WAV file: data chunk before fmt chunk"));
                return false;
            }
            if (bitsPerSample != 16) {
                setError(error, QObject::tr("unsupported bit depth: %1 (only 16-bit supported)")
                                    .arg(bitsPerSample));
                return false;
            }
            if (sampleRate < kMinWavSampleRate || sampleRate > kMaxWavSampleRate) {
                setError(error,
                         QObject::tr("invalid WAV file %1: sample rate %2 Hz is out of range")
                             .arg(path)
                             .arg(sampleRate));
                return false;
            }
            if (channels > kMaxWavChannels) {
                setError(error, QObject::tr("invalid WAV file %1: %2 channels (at most %3)")
                                    .arg(path)
                                    .arg(channels)
                                    .arg(kMaxWavChannels));
                return false;
            }
            layout->sampleRate = static_cast<qint32>(sampleRate);
            layout->channels = channels;
            layout->dataSize = size;
            return true;
        } else {
            reader.skip(static_cast<quint64>(size) + (size & 1u));
        }
    }
    setError(error, QObject::tr("WAV file missing data chunk"));
    return false;
}

// Read in slices: no copy of the whole chunk is held.
void readWavSamples(QFile& file, const WavLayout& layout, QList<double>& samples) {
    const qint64 channels = layout.channels;
    const qint64 size = layout.dataSize;
    const qint64 declaredValues = size / 2;
    const qint64 available = qMax<qint64>(0, file.size() - file.pos());
    const qint64 heldBytes = qMin<qint64>(size, available);
    const qint64 heldValues = heldBytes / 2;
    const qint64 declaredSamples = (declaredValues + channels - 1) / channels;
    const qint64 heldSamples = (heldValues + channels - 1) / channels;
    // A short tail reads as silence; a header claiming far more than the file
    // holds is not allowed to drive the allocation.
    const qint64 count =
        declaredSamples - heldSamples <= qMax(layout.sampleRate, 0) ? declaredSamples : heldSamples;
    samples.resize(count);
    double* out = samples.data();
    const qint64 readable = qMin(count, heldSamples);

    const qint64 frameBytes = 2 * channels;
    const qint64 sliceFrames = qMax<qint64>(1, (qint64(1) << 16) / frameBytes);
    std::vector<uchar> slice(static_cast<size_t>(sliceFrames * frameBytes));
    qint64 done = 0;
    qint64 bytesLeft = heldBytes;
    while (done < readable) {
        const qint64 want = qMin<qint64>(sliceFrames * frameBytes, bytesLeft);
        qint64 got = 0;
        while (got < want) {
            const qint64 n = file.read(reinterpret_cast<char*>(slice.data()) + got, want - got);
            if (n <= 0) {
                break;
            }
            got += n;
        }
        bytesLeft -= got;
        // Values wholly read; a frame counts when its first channel's value is there.
        const qint64 values = got / 2;
        const qint64 frames = qMin((values + channels - 1) / channels, readable - done);
        if (frames <= 0) {
            break;
        }
        const uchar* in = slice.data();
        double* to = out + done;
        if (channels == 1) {
            for (qint64 i = 0; i < frames; ++i) {
                to[i] = fromPcm16(qFromLittleEndian<qint16>(in + 2 * i));
            }
        } else {
            for (qint64 i = 0; i < frames; ++i) {
                to[i] = fromPcm16(qFromLittleEndian<qint16>(in + 2 * i * channels));
            }
        }
        done += frames;
    }
    for (qint64 i = done; i < count; ++i) {
        out[i] = 0.0;
    }
}

std::optional<AudioBuffer> readWav(const QString& path, QString* error) {
    QFile file(path);
    WavLayout layout;
    if (!readWavHeader(file, path, &layout, error)) {
        return std::nullopt;
    }
    AudioBuffer buffer;
    buffer.sampleRate = layout.sampleRate;
    readWavSamples(file, layout, buffer.samples);
    return buffer;
}

bool writeWav(const AudioBuffer& buffer, const QString& path, QString* error) {
    const QList<double>& samples = buffer.samples;
    return writeWavFile(
        samples.size(), buffer.sampleRate, path,
        [&samples](const Pcm16Sink& write) {
            std::vector<qint16> chunk(static_cast<size_t>(kWriteChunk));
            for (qint64 offset = 0; offset < samples.size(); offset += kWriteChunk) {
                const qint64 n = qMin(kWriteChunk, samples.size() - offset);
                const double* in = samples.constData() + offset;
                for (qint64 k = 0; k < n; ++k) {
                    chunk[static_cast<size_t>(k)] = toPcm16(in[k]);
                }
                if (!write(chunk.data(), n)) {
                    return false;
                }
            }
            return true;
        },
        error);
}

bool writePcm16MonoAsWav(const QByteArray& data, int sampleRate, const QString& path,
                         QString* error) {
    const auto buffer = decodePcm16Mono(data, sampleRate, error);
    if (!buffer) {
        return false;
    }
    return writeWav(*buffer, path, error);
}

std::optional<QByteArray> readLegacyPcmFile(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, QObject::tr("failed to open legacy PCM cache file %1: %2")
                            .arg(path, file.errorString()));
        return std::nullopt;
    }
    return file.readAll();
}

std::optional<AudioBuffer> decodeLegacyPcm(const QByteArray& bytes, int sampleRate,
                                           QString* error) {
    QString decodeError;
    std::optional<AudioBuffer> buffer = decodePcm16Mono(bytes, sampleRate, &decodeError);
    if (!buffer) {
        setError(error, legacyPcmConversionError(bytes, decodeError));
        return std::nullopt;
    }
    for (double& sample : buffer->samples) {
        sample = fromPcm16(toPcm16(sample));
    }
    return buffer;
}

QString legacyPcmConversionError(const QByteArray& bytes, const QString& reason) {
    const QString headerError = bytes.startsWith("RIFF")
                                    ? QObject::tr("invalid WAV file: missing WAVE header")
                                    : QObject::tr("invalid WAV file: missing RIFF header");
    return QObject::tr("invalid WAV file: %1; legacy PCM conversion failed: %2")
        .arg(headerError, reason);
}

} // namespace lyrane
