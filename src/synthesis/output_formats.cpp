#include "synthesis/output_formats.h"

#include <QObject>
#include <QtEndian>

#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
}

namespace lyrane {

namespace {

constexpr int kPcmRates[] = {8000, 16000, 22050, 24000, 32000, 44100, 48000};

struct Mp3Variant {
    int sampleRate;
    int bitRateKbps;
};
constexpr Mp3Variant kMp3Variants[] = {{22050, 32}, {24000, 48},  {44100, 32}, {44100, 64},
                                       {44100, 96}, {44100, 128}, {44100, 192}};

QString mp3Name(const Mp3Variant& variant) {
    return QStringLiteral("mp3_%1_%2").arg(variant.sampleRate).arg(variant.bitRateKbps);
}

// ---- WAV ------------------------------------------------------------------------------------

constexpr quint16 kWavePcm = 1;
constexpr quint16 kWaveExtensible = 0xFFFE;
// Streaming writers put this in a size they do not know yet.
constexpr quint32 kUnknownSize = 0xFFFFFFFFu;

struct WavSamples {
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0;
    quint16 encoding = 0;
    QByteArray data;
};

quint16 u16At(const QByteArray& bytes, qsizetype offset) {
    return qFromLittleEndian<quint16>(bytes.constData() + offset);
}

quint32 u32At(const QByteArray& bytes, qsizetype offset) {
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}

// Reads the format and the samples of a RIFF/WAVE file held in memory.
std::optional<WavSamples> parseWav(const QByteArray& bytes, QString* error) {
    if (bytes.size() < 12 || std::memcmp(bytes.constData(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.constData() + 8, "WAVE", 4) != 0) {
        *error = QObject::tr("the answer is not a WAV file");
        return std::nullopt;
    }
    WavSamples wav;
    bool haveFormat = false;
    qsizetype offset = 12;
    while (offset + 8 <= bytes.size()) {
        const QByteArray id = bytes.mid(offset, 4);
        const quint32 declared = u32At(bytes, offset + 4);
        const qsizetype body = offset + 8;
        const qsizetype available = bytes.size() - body;
        if (id == "fmt ") {
            if (declared < 16 || qsizetype(declared) > available) {
                *error = QObject::tr("the answer's WAV format chunk is cut short");
                return std::nullopt;
            }
            wav.encoding = u16At(bytes, body);
            wav.channels = u16At(bytes, body + 2);
            wav.sampleRate = int(u32At(bytes, body + 4));
            wav.bitsPerSample = u16At(bytes, body + 14);
            if (wav.encoding == kWaveExtensible && declared >= 40) {
                // The sub-format GUID starts with the plain encoding number.
                wav.encoding = u16At(bytes, body + 24);
            }
            haveFormat = true;
        } else if (id == "data") {
            if (!haveFormat) {
                *error = QObject::tr("the answer's WAV data comes before its format");
                return std::nullopt;
            }
            qsizetype size = qsizetype(declared);
            if (declared == kUnknownSize) {
                size = available;
            } else if (size > available) {
                *error = QObject::tr("the answer's WAV data is cut short: %1 of %2 bytes")
                             .arg(available)
                             .arg(declared);
                return std::nullopt;
            }
            wav.data = bytes.mid(body, size);
            return wav;
        }
        if (qsizetype(declared) > available) {
            break;
        }
        // Chunks are padded to an even length.
        offset = body + qsizetype(declared) + (declared & 1u);
    }
    *error = haveFormat ? QObject::tr("the answer's WAV file has no data chunk")
                        : QObject::tr("the answer's WAV file has no format chunk");
    return std::nullopt;
}

// The WAV file the clip writer makes of raw 16-bit samples: a 44-byte header, then each
// sample as it comes back from full-scale doubles (x / 32768, then * 32767 truncated).
QByteArray cacheWavFromPcm(const QByteArray& pcm, int sampleRate) {
    const qsizetype count = pcm.size() / 2;
    QByteArray file(44 + count * 2, Qt::Uninitialized);
    uchar* h = reinterpret_cast<uchar*>(file.data());
    const quint32 dataSize = quint32(count * 2);
    std::memcpy(h, "RIFF", 4);
    qToLittleEndian<quint32>(36 + dataSize, h + 4);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    qToLittleEndian<quint32>(16, h + 16);
    qToLittleEndian<quint16>(kWavePcm, h + 20);
    qToLittleEndian<quint16>(1, h + 22);
    qToLittleEndian<quint32>(quint32(sampleRate), h + 24);
    qToLittleEndian<quint32>(quint32(sampleRate) * 2u, h + 28);
    qToLittleEndian<quint16>(2, h + 32);
    qToLittleEndian<quint16>(16, h + 34);
    std::memcpy(h + 36, "data", 4);
    qToLittleEndian<quint32>(dataSize, h + 40);
    const uchar* in = reinterpret_cast<const uchar*>(pcm.constData());
    uchar* out = h + 44;
    for (qsizetype i = 0; i < count; ++i) {
        const qint32 value = qFromLittleEndian<qint16>(in + 2 * i);
        qToLittleEndian<qint16>(qint16(value * 32767 / 32768), out + 2 * i);
    }
    return file;
}

// ---- MP3 ------------------------------------------------------------------------------------

QString ffmpegErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

struct ParserCloser {
    void operator()(AVCodecParserContext* p) const { av_parser_close(p); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using ParserPtr = std::unique_ptr<AVCodecParserContext, ParserCloser>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;

constexpr qsizetype kId3v1Size = 128;

// The MP3 frames of a stream: without a leading ID3v2 tag or a trailing ID3v1 tag.
std::optional<QByteArray> mp3Frames(const QByteArray& bytes, QString* error) {
    qsizetype begin = 0;
    if (bytes.startsWith("ID3") && bytes.size() >= 10) {
        const auto* h = reinterpret_cast<const uchar*>(bytes.constData());
        const qsizetype body = (qsizetype(h[6] & 0x7f) << 21) | (qsizetype(h[7] & 0x7f) << 14) |
                               (qsizetype(h[8] & 0x7f) << 7) | qsizetype(h[9] & 0x7f);
        const bool footer = (h[5] & 0x10) != 0;
        begin = 10 + body + (footer ? 10 : 0);
        if (begin > bytes.size()) {
            *error = QObject::tr("the answer's MP3 stream ends inside its ID3 tag");
            return std::nullopt;
        }
    }
    qsizetype end = bytes.size();
    if (end - begin >= kId3v1Size && bytes.mid(end - kId3v1Size, 3) == "TAG") {
        end -= kId3v1Size;
    }
    return bytes.mid(begin, end - begin);
}

struct Mp3Probe {
    int sampleRate = 0;
    qint64 samples = 0;
};

// Receives every frame the decoder has ready; false on a decoding error.
bool drainFrames(AVCodecContext* decoder, AVFrame* frame, Mp3Probe* probe, QString* error) {
    for (;;) {
        const int received = avcodec_receive_frame(decoder, frame);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
            return true;
        }
        if (received < 0) {
            *error = QObject::tr("the answer's MP3 stream does not decode: %1")
                         .arg(ffmpegErrorText(received));
            return false;
        }
        if (probe->samples > 0 && frame->sample_rate != probe->sampleRate) {
            *error = QObject::tr("the answer's MP3 stream changes its sample rate");
            return false;
        }
        probe->sampleRate = frame->sample_rate;
        probe->samples += frame->nb_samples;
        av_frame_unref(frame);
    }
}

// Decodes a whole MP3 stream held in memory. The parser cuts the frames; every byte must
// belong to a whole frame, so a stream cut inside a frame fails, and so do bytes before or
// between frames, which the decoder refuses as a missing header.
std::optional<Mp3Probe> decodeMp3InMemory(const QByteArray& bytes, QString* error) {
    const auto failed = [error](const QString& what, int code) {
        *error = QObject::tr("the answer's MP3 stream does not decode: %1 (%2)")
                     .arg(what, ffmpegErrorText(code));
        return std::nullopt;
    };
    std::optional<QByteArray> frames = mp3Frames(bytes, error);
    if (!frames) {
        return std::nullopt;
    }
    const qsizetype size = frames->size();
    // The parser reads a little past the end of what it is given.
    frames->append(QByteArray(AV_INPUT_BUFFER_PADDING_SIZE, '\0'));

    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MP3);
    if (!codec) {
        return failed(QStringLiteral("no MP3 decoder"), AVERROR_DECODER_NOT_FOUND);
    }
    ParserPtr parser(av_parser_init(AV_CODEC_ID_MP3));
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!parser || !decoder || !frame || !packet) {
        return failed(QStringLiteral("out of memory"), AVERROR(ENOMEM));
    }
    // Report damage instead of concealing it.
    decoder->err_recognition |= AV_EF_EXPLODE;
    int code = avcodec_open2(decoder.get(), codec, nullptr);
    if (code < 0) {
        return failed(QStringLiteral("cannot open the decoder"), code);
    }

    Mp3Probe probe;
    qsizetype handedOn = 0;
    const auto* data = reinterpret_cast<const uint8_t*>(frames->constData());
    qsizetype offset = 0;
    bool flushed = false;
    while (!flushed) {
        const int chunk = int(qMin<qsizetype>(size - offset, 1 << 20));
        flushed = chunk == 0; // an empty input asks the parser for what it holds
        uint8_t* out = nullptr;
        int outSize = 0;
        const int used = av_parser_parse2(parser.get(), decoder.get(), &out, &outSize,
                                          data + offset, chunk, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used < 0) {
            return failed(QStringLiteral("cannot find its frames"), used);
        }
        offset += used;
        if (outSize <= 0) {
            if (used == 0 && chunk > 0) {
                return failed(QStringLiteral("its parser stopped"), AVERROR_BUG);
            }
            continue;
        }
        // The parser hands a frame on once it has all the bytes its header announces; what
        // only the end of the input brings out is a frame cut short, or bytes after the last.
        if (flushed) {
            *error = QObject::tr("the answer's MP3 stream ends inside a frame: its last %1 "
                                 "bytes are not a whole frame")
                         .arg(outSize);
            return std::nullopt;
        }
        handedOn += outSize;
        packet->data = out;
        packet->size = outSize;
        code = avcodec_send_packet(decoder.get(), packet.get());
        av_packet_unref(packet.get());
        if (code < 0) {
            return failed(QStringLiteral("a damaged frame"), code);
        }
        if (!drainFrames(decoder.get(), frame.get(), &probe, error)) {
            return std::nullopt;
        }
    }
    if (handedOn != size) {
        *error = QObject::tr("the answer's MP3 stream ends inside a frame: %1 of its %2 bytes "
                             "are not whole frames")
                     .arg(size - handedOn)
                     .arg(size);
        return std::nullopt;
    }
    if ((code = avcodec_send_packet(decoder.get(), nullptr)) < 0) {
        return failed(QStringLiteral("cannot flush the decoder"), code);
    }
    if (!drainFrames(decoder.get(), frame.get(), &probe, error)) {
        return std::nullopt;
    }
    if (probe.samples == 0) {
        *error = QObject::tr("the answer's MP3 stream holds no audio");
        return std::nullopt;
    }
    return probe;
}

CheckedAnswer refused(AnswerFault fault, const QString& error) {
    CheckedAnswer answer;
    answer.fault = fault;
    answer.error = error;
    return answer;
}

CheckedAnswer accepted(QByteArray bytes) {
    CheckedAnswer answer;
    answer.cacheBytes = std::move(bytes);
    return answer;
}

QString oddPcmMessage() {
    return QObject::tr("raw PCM data length must be an even number of bytes");
}

} // namespace

QString ServiceOutputFormat::cacheExtension() const {
    return kind == AudioKind::Mp3 ? QStringLiteral(".mp3") : QStringLiteral(".wav");
}

std::optional<ServiceOutputFormat> parseOutputFormat(const QString& name) {
    const QString lower = name.toLower();
    for (const int rate : kPcmRates) {
        if (lower == QStringLiteral("pcm_%1").arg(rate)) {
            return ServiceOutputFormat{name, AudioKind::Pcm, rate, 0};
        }
        if (lower == QStringLiteral("wav_%1").arg(rate)) {
            return ServiceOutputFormat{name, AudioKind::Wav, rate, 0};
        }
    }
    for (const Mp3Variant& variant : kMp3Variants) {
        if (lower == mp3Name(variant)) {
            return ServiceOutputFormat{name, AudioKind::Mp3, variant.sampleRate,
                                       variant.bitRateKbps};
        }
    }
    // Accepted before the service's list was followed; the service picks the bit rate.
    if (lower == QLatin1String("mp3_44100")) {
        return ServiceOutputFormat{name, AudioKind::Mp3, 44100, 0};
    }
    return std::nullopt;
}

QStringList acceptedOutputFormatNames() {
    QStringList names;
    for (const int rate : kPcmRates) {
        names.append(QStringLiteral("pcm_%1").arg(rate));
    }
    for (const int rate : kPcmRates) {
        names.append(QStringLiteral("wav_%1").arg(rate));
    }
    for (const Mp3Variant& variant : kMp3Variants) {
        names.append(mp3Name(variant));
    }
    names.append(QStringLiteral("mp3_44100"));
    return names;
}

QString outputFormatRefusal() {
    return QObject::tr("--format must be a PCM, WAV or MP3 format of the speech service, such as "
                       "pcm_24000 or mp3_44100_128\n");
}

CheckedAnswer checkServiceAnswer(const ServiceOutputFormat& format, const QByteArray& answer) {
    if (answer.isEmpty()) {
        return accepted(format.kind == AudioKind::Mp3 ? QByteArray()
                                                      : cacheWavFromPcm({}, format.sampleRate));
    }
    switch (format.kind) {
    case AudioKind::Pcm:
        if (answer.size() % 2 != 0) {
            return refused(AnswerFault::OddPcmLength, oddPcmMessage());
        }
        return accepted(cacheWavFromPcm(answer, format.sampleRate));
    case AudioKind::Wav: {
        QString error;
        const std::optional<WavSamples> wav = parseWav(answer, &error);
        if (!wav) {
            return refused(AnswerFault::UnreadableWav, error);
        }
        if (wav->encoding != kWavePcm || wav->channels != 1 || wav->bitsPerSample != 16 ||
            wav->sampleRate != format.sampleRate) {
            return refused(AnswerFault::WavFormatMismatch,
                           QObject::tr("the answer is a WAV file of %1 Hz, %2 channel(s), %3-bit "
                                       "(encoding %4) instead of %5 Hz mono 16-bit PCM")
                               .arg(wav->sampleRate)
                               .arg(wav->channels)
                               .arg(wav->bitsPerSample)
                               .arg(wav->encoding)
                               .arg(format.sampleRate));
        }
        if (wav->data.size() % 2 != 0) {
            return refused(AnswerFault::OddPcmLength, oddPcmMessage());
        }
        return accepted(cacheWavFromPcm(wav->data, format.sampleRate));
    }
    case AudioKind::Mp3: {
        QString error;
        const std::optional<Mp3Probe> probe = decodeMp3InMemory(answer, &error);
        if (!probe) {
            return refused(AnswerFault::UndecodableMp3, error);
        }
        if (probe->sampleRate != format.sampleRate) {
            return refused(AnswerFault::Mp3RateMismatch,
                           QObject::tr("the answer is an MP3 stream of %1 Hz instead of %2 Hz")
                               .arg(probe->sampleRate)
                               .arg(format.sampleRate));
        }
        return accepted(answer);
    }
    }
    return refused(AnswerFault::UndecodableMp3, QObject::tr("unknown output format kind"));
}

} // namespace lyrane
