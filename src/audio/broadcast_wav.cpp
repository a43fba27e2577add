#include "audio/broadcast_wav.h"

#include "audio/atomic_output.h"
#include "audio/audio_error.h"
#include "audio/wav_file.h"

#include <QFile>
#include <QObject>
#include <QtEndian>

#include <cstring>
#include <optional>
#include <vector>

namespace lyrane {

using audio_detail::fail;

namespace {

// The bext fields up to the coding history: description 256, originator 32, reference 32,
// date 10, time 8, time reference 8, version 2, UMID 64, loudness 10, reserved 180.
constexpr int kBextFixedBytes = 602;
constexpr int kFormatBytes = 16;
constexpr int kBytesPerSample = 3;
constexpr qint64 kChunkSamples = 1 << 16;

// UTF-8 of at most `size` bytes, never cutting a character, zero-padded to `size`.
QByteArray fixedField(const QString& text, int size) {
    QByteArray bytes = text.toUtf8();
    if (bytes.size() > size) {
        qsizetype cut = size;
        while (cut > 0 && (uchar(bytes[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        bytes.truncate(cut);
    }
    bytes.append(QByteArray(size - bytes.size(), '\0'));
    return bytes;
}

void putChunkHeader(QByteArray& out, const char* id, quint32 size) {
    out.append(id, 4);
    char le[4];
    qToLittleEndian<quint32>(size, le);
    out.append(le, 4);
}

} // namespace

QByteArray broadcastExtensionChunk(const BroadcastExtension& extension) {
    QByteArray body;
    body.reserve(kBextFixedBytes + extension.codingHistory.size());
    body += fixedField(extension.description, 256);
    body += fixedField(extension.originator, 32);
    body += fixedField(extension.originatorReference, 32);
    const bool dated = extension.origination.isValid();
    body += fixedField(
        dated ? extension.origination.toString(QStringLiteral("yyyy-MM-dd")) : QString(), 10);
    body += fixedField(
        dated ? extension.origination.toString(QStringLiteral("HH:mm:ss")) : QString(), 8);
    char word[8];
    qToLittleEndian<quint32>(quint32(extension.timeReference & 0xFFFFFFFFu), word);
    qToLittleEndian<quint32>(quint32(extension.timeReference >> 32), word + 4);
    body.append(word, 8);
    qToLittleEndian<quint16>(1, word); // version 1: no loudness figures
    body.append(word, 2);
    body.append(QByteArray(64 + 10 + 180, '\0')); // UMID, loudness, reserved
    body += extension.codingHistory.toLatin1();
    if (body.size() % 2 != 0) {
        body.append('\0');
    }
    QByteArray chunk;
    putChunkHeader(chunk, "bext", quint32(body.size()));
    return chunk + body;
}

bool writeBroadcastWavFile(qint64 sampleCount, int sampleRate, const BroadcastExtension& extension,
                           const QString& path,
                           const std::function<bool(const SampleSink&)>& produce, QString* error,
                           FileWriting writing) {
    const QByteArray bext = broadcastExtensionChunk(extension);
    const qint64 dataBytes = sampleCount * kBytesPerSample;
    const qint64 riffBytes = 4 + bext.size() + 8 + kFormatBytes + 8 + dataBytes + dataBytes % 2;
    if (sampleCount < 0 || sampleRate <= 0 || riffBytes > qint64(0xFFFFFFFFu)) {
        return fail(error, QObject::tr("audio too long for a WAV file: %1 samples exceed the 4 GiB "
                                       "size limit")
                               .arg(sampleCount));
    }
    QByteArray header;
    putChunkHeader(header, "RIFF", quint32(riffBytes));
    header += "WAVE";
    header += bext;
    putChunkHeader(header, "fmt ", kFormatBytes);
    char format[kFormatBytes];
    qToLittleEndian<quint16>(kWavePcmEncoding, format);
    qToLittleEndian<quint16>(1, format + 2);
    qToLittleEndian<quint32>(quint32(sampleRate), format + 4);
    qToLittleEndian<quint32>(quint32(sampleRate) * kBytesPerSample, format + 8);
    qToLittleEndian<quint16>(kBytesPerSample, format + 12);
    qToLittleEndian<quint16>(8 * kBytesPerSample, format + 14);
    header.append(format, kFormatBytes);
    putChunkHeader(header, "data", quint32(dataBytes));

    const bool inPlace = writing == FileWriting::InPlace;
    std::optional<AtomicOutput> output;
    QFile file;
    if (inPlace) {
        file.setFileName(path);
    } else {
        output.emplace(path);
    }
    if (!(inPlace ? file.open(QIODevice::WriteOnly | QIODevice::NewOnly) : output->open(file))) {
        return fail(error,
                    QObject::tr("failed to create WAV file %1: %2").arg(path, file.errorString()));
    }
    bool ok = file.write(header) == header.size();
    qint64 written = 0;
    std::vector<char> bytes;
    const SampleSink sink = [&](const double* samples, qint64 count) {
        for (qint64 done = 0; ok && done < count; done += kChunkSamples) {
            const qint64 n = qMin(kChunkSamples, count - done);
            bytes.resize(size_t(n * kBytesPerSample));
            for (qint64 i = 0; i < n; ++i) {
                const qint32 value = toPcm24(samples[done + i]);
                char* to = bytes.data() + i * kBytesPerSample;
                to[0] = char(value & 0xFF);
                to[1] = char((value >> 8) & 0xFF);
                to[2] = char((value >> 16) & 0xFF);
            }
            ok = file.write(bytes.data(), n * kBytesPerSample) == n * kBytesPerSample;
        }
        written += count;
        return ok;
    };
    ok = produce(sink) && ok && written == sampleCount;
    if (ok && dataBytes % 2 != 0) {
        ok = file.putChar('\0');
    }
    QString reason;
    if (ok && inPlace) {
        ok = file.flush();
        reason = file.errorString();
        file.close();
    } else if (ok) {
        ok = output->finish(file, &reason);
    } else {
        reason = file.errorString();
    }
    if (!ok) {
        if (inPlace) {
            file.remove();
        }
        return fail(error, QObject::tr("failed to write WAV file %1: %2").arg(path, reason));
    }
    return true;
}

} // namespace lyrane
