#include "audio/wav_file.h"
#include "audio/atomic_output.h"
#include "audio/audio_error.h"
#include "audio/wav_samples.h"

#include <QBuffer>
#include <QFileInfo>
#include <QObject>
#include <QtEndian>

#include <cstring>
#include <vector>

namespace lyrane {

using audio_detail::setError;

namespace {

constexpr qint64 kWriteChunk = 1 << 16;

// What a clip's header may declare; beyond these it is not audio this program reads.
constexpr quint32 kMinWavSampleRate = 1;
constexpr quint32 kMaxWavSampleRate = 768000;
constexpr quint16 kMaxWavChannels = 8;

// How a walk over the chunks of a RIFF/WAVE file ended.
enum class WalkEnd { NotRiff, NotWave, FormatCutShort, NoData, Data };

// What the walk found: the last format chunk before the data chunk, and the data chunk.
struct ChunkWalk {
    WalkEnd end = WalkEnd::NoData;
    bool haveFormat = false;
    quint16 formatTag = 0; // as written: 0xFFFE for an extensible format chunk
    quint16 encoding = 0;  // the format tag, or an extensible chunk's sub-format
    quint16 channels = 0;
    quint32 sampleRate = 0;
    quint16 bitsPerSample = 0;
    quint32 dataDeclared = 0;
    qint64 dataHeld = 0; // bytes after the data chunk's header
};

constexpr quint16 kWaveExtensible = 0xFFFE;
// The fields of a format chunk read here: an extensible one's sub-format ends at byte 26.
constexpr qint64 kFormatFieldBytes = 26;
// Streaming writers put this in a data size they do not know yet.
constexpr quint32 kUnknownSize = 0xFFFFFFFFu;

quint16 u16At(const QByteArray& bytes, qsizetype offset) {
    return qFromLittleEndian<quint16>(bytes.constData() + offset);
}

quint32 u32At(const QByteArray& bytes, qsizetype offset) {
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}

// Walks the chunks from the device's start up to the first data chunk, leaving the device at
// that chunk's first byte. Chunks are padded to an even length; a chunk whose header is cut
// short ends the walk.
ChunkWalk walkChunks(QIODevice& device) {
    ChunkWalk walk;
    const QByteArray head = device.read(12);
    if (!head.startsWith("RIFF")) {
        walk.end = WalkEnd::NotRiff;
        return walk;
    }
    if (head.mid(8, 4) != "WAVE") {
        walk.end = WalkEnd::NotWave;
        return walk;
    }
    const qint64 size = device.size();
    for (;;) {
        const QByteArray header = device.read(8);
        if (header.size() < 8) {
            walk.end = WalkEnd::NoData;
            return walk;
        }
        const quint32 declared = u32At(header, 4);
        const qint64 body = device.pos();
        const qint64 held = size - body;
        if (header.startsWith("fmt ")) {
            QByteArray fields = device.read(qMin<qint64>(declared, kFormatFieldBytes));
            fields.append(QByteArray(kFormatFieldBytes - fields.size(), '\0'));
            walk.haveFormat = true;
            walk.formatTag = u16At(fields, 0);
            walk.channels = u16At(fields, 2);
            walk.sampleRate = u32At(fields, 4);
            walk.bitsPerSample = u16At(fields, 14);
            // The sub-format GUID starts with the plain encoding number.
            walk.encoding = walk.formatTag == kWaveExtensible && declared >= 40 ? u16At(fields, 24)
                                                                                : walk.formatTag;
            if (declared < 16 || qint64(declared) > held) {
                walk.end = WalkEnd::FormatCutShort;
                return walk;
            }
        } else if (header.startsWith("data")) {
            walk.end = WalkEnd::Data;
            walk.dataDeclared = declared;
            walk.dataHeld = held;
            return walk;
        } else if (qint64(declared) > held) {
            walk.end = WalkEnd::NoData;
            return walk;
        }
        device.seek(qMin(body + qint64(declared) + qint64(declared & 1u), size));
    }
}

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

std::optional<QByteArray> pcm16MonoWavBytes(const QByteArray& pcm, int sampleRate, QString* error) {
    const qsizetype count = pcm.size() / 2;
    QByteArray file;
    if (!makeWavHeader(count, sampleRate, &file, error)) {
        return std::nullopt;
    }
    file.resize(44 + count * 2);
    const uchar* in = reinterpret_cast<const uchar*>(pcm.constData());
    uchar* out = reinterpret_cast<uchar*>(file.data()) + 44;
    // As x / 32768 back through toPcm16, in integers.
    for (qsizetype i = 0; i < count; ++i) {
        const qint32 value = qFromLittleEndian<qint16>(in + 2 * i);
        qToLittleEndian<qint16>(static_cast<qint16>(value * 32767 / 32768), out + 2 * i);
    }
    return file;
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
    const ChunkWalk walk = walkChunks(file);
    if (walk.end == WalkEnd::NotRiff || walk.end == WalkEnd::NotWave) {
        setError(error, walk.end == WalkEnd::NotRiff
                            ? QObject::tr("invalid WAV file: missing RIFF header")
                            : QObject::tr("invalid WAV file: missing WAVE header"));
        if (notWave) {
            *notWave = true;
        }
        return false;
    }
    if (walk.haveFormat && walk.formatTag != kWavePcmEncoding) {
        setError(error, QObject::tr("unsupported WAV format: only PCM is supported"));
        return false;
    }
    if (walk.end != WalkEnd::Data) {
        setError(error, QObject::tr("WAV file missing data chunk"));
        return false;
    }
    if (walk.sampleRate == 0 || walk.channels == 0 || walk.bitsPerSample == 0) {
        setError(error, QObject::tr("invalid WAV file: data chunk before fmt chunk"));
        return false;
    }
    if (walk.bitsPerSample != 16) {
        setError(error, QObject::tr("unsupported bit depth: %1 (only 16-bit supported)")
                            .arg(walk.bitsPerSample));
        return false;
    }
    if (walk.sampleRate < kMinWavSampleRate || walk.sampleRate > kMaxWavSampleRate) {
        setError(error, QObject::tr("invalid WAV file %1: sample rate %2 Hz is out of range")
                            .arg(path)
                            .arg(walk.sampleRate));
        return false;
    }
    if (walk.channels > kMaxWavChannels) {
        setError(error, QObject::tr("invalid WAV file %1: %2 channels (at most %3)")
                            .arg(path)
                            .arg(walk.channels)
                            .arg(kMaxWavChannels));
        return false;
    }
    layout->sampleRate = static_cast<qint32>(walk.sampleRate);
    layout->channels = walk.channels;
    layout->dataSize = walk.dataDeclared;
    return true;
}

bool checkWholeWavFile(const QString& path, QString* error) {
    QFile file(path);
    WavLayout layout;
    if (!readWavHeader(file, path, &layout, error)) {
        return false;
    }
    const qint64 held = file.size() - file.pos();
    if (qint64(layout.dataSize) > held) {
        setError(error, QObject::tr("invalid WAV file: data chunk cut short: %1 of %2 bytes")
                            .arg(held)
                            .arg(layout.dataSize));
        return false;
    }
    return true;
}

bool isHeaderlessPcmFile(const QString& path) {
    // Chunks looked at for a format chunk; a WAV file has it among its first few.
    constexpr int kChunksLooked = 16;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    // A RIFF header cut before the end of its "WAVE" counts as one too.
    const QByteArray head = file.read(12);
    if (head.mid(8, 4) == "WAVE" ||
        (head.startsWith("RIFF") && QByteArrayLiteral("WAVE").startsWith(head.mid(8)))) {
        return false;
    }
    qint64 at = 12;
    for (int chunk = 0; chunk < kChunksLooked && file.seek(at); ++chunk) {
        const QByteArray header = file.read(8);
        if (header.size() < 8) {
            break;
        }
        if (header.startsWith("fmt ")) {
            return false;
        }
        const quint32 declared = u32At(header, 4);
        at += 8 + qint64(declared) + qint64(declared & 1u);
    }
    return true;
}

ParsedWav parseWavBytes(const QByteArray& bytes) {
    ParsedWav parsed;
    QBuffer device;
    device.setData(bytes);
    device.open(QIODevice::ReadOnly);
    const ChunkWalk walk = walkChunks(device);
    switch (walk.end) {
    case WalkEnd::NotRiff:
    case WalkEnd::NotWave:
        parsed.fault = WavFault::NotWav;
        return parsed;
    case WalkEnd::FormatCutShort:
        parsed.fault = WavFault::FormatCutShort;
        return parsed;
    case WalkEnd::NoData:
        parsed.fault = walk.haveFormat ? WavFault::NoDataChunk : WavFault::NoFormatChunk;
        return parsed;
    case WalkEnd::Data:
        break;
    }
    if (!walk.haveFormat) {
        parsed.fault = WavFault::DataBeforeFormat;
        return parsed;
    }
    qint64 size = walk.dataDeclared;
    if (walk.dataDeclared == kUnknownSize) {
        size = walk.dataHeld;
    } else if (size > walk.dataHeld) {
        parsed.fault = WavFault::DataCutShort;
        parsed.heldBytes = walk.dataHeld;
        parsed.declaredBytes = walk.dataDeclared;
        return parsed;
    }
    WavContents wav;
    wav.encoding = walk.encoding;
    wav.channels = walk.channels;
    wav.sampleRate = static_cast<int>(walk.sampleRate);
    wav.bitsPerSample = walk.bitsPerSample;
    wav.data = bytes.mid(device.pos(), size);
    parsed.wav = std::move(wav);
    return parsed;
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
