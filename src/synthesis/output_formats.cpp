#include "synthesis/output_formats.h"

#include "audio/mp3_decoding.h"
#include "audio/wav_file.h"

#include <QObject>

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

// The fallback of storedOutputFormat for names the service does not offer.
constexpr int kFallbackPcmRate = 44100;

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

// The cache file of even-length PCM, or why there is none.
CheckedAnswer cachedAsWav(const QByteArray& pcm, int sampleRate) {
    QString error;
    std::optional<QByteArray> file = pcm16MonoWavBytes(pcm, sampleRate, &error);
    if (!file) {
        return refused(AnswerFault::TooLongForWav, error);
    }
    CheckedAnswer answer = accepted(std::move(*file));
    answer.seconds = sampleRate > 0 ? double(pcm.size() / 2) / sampleRate : 0.0;
    return answer;
}

QString wavFaultMessage(const ParsedWav& parsed) {
    switch (parsed.fault) {
    case WavFault::NotWav:
        break;
    case WavFault::FormatCutShort:
        return QObject::tr("the answer's WAV format chunk is cut short");
    case WavFault::DataBeforeFormat:
        return QObject::tr("the answer's WAV data comes before its format");
    case WavFault::DataCutShort:
        return QObject::tr("the answer's WAV data is cut short: %1 of %2 bytes")
            .arg(parsed.heldBytes)
            .arg(parsed.declaredBytes);
    case WavFault::NoDataChunk:
        return QObject::tr("the answer's WAV file has no data chunk");
    case WavFault::NoFormatChunk:
        return QObject::tr("the answer's WAV file has no format chunk");
    }
    return QObject::tr("the answer is not a WAV file");
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

ServiceOutputFormat storedOutputFormat(const QString& name) {
    if (std::optional<ServiceOutputFormat> known = parseOutputFormat(name)) {
        return *known;
    }
    const bool mp3 = name.startsWith(QLatin1String("mp3"), Qt::CaseInsensitive);
    return ServiceOutputFormat{name, mp3 ? AudioKind::Mp3 : AudioKind::Pcm, kFallbackPcmRate, 0};
}

bool outputFormatIsMp3(const QString& name) {
    return storedOutputFormat(name).kind == AudioKind::Mp3;
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
        return format.kind == AudioKind::Mp3 ? accepted(QByteArray())
                                             : cachedAsWav({}, format.sampleRate);
    }
    switch (format.kind) {
    case AudioKind::Pcm:
        if (answer.size() % 2 != 0) {
            return refused(AnswerFault::OddPcmLength, oddPcmMessage());
        }
        return cachedAsWav(answer, format.sampleRate);
    case AudioKind::Wav: {
        const ParsedWav parsed = parseWavBytes(answer);
        if (!parsed.wav) {
            return refused(AnswerFault::UnreadableWav, wavFaultMessage(parsed));
        }
        const WavContents& wav = *parsed.wav;
        if (wav.encoding != kWavePcmEncoding || wav.channels != 1 || wav.bitsPerSample != 16 ||
            wav.sampleRate != format.sampleRate) {
            return refused(AnswerFault::WavFormatMismatch,
                           QObject::tr("the answer is a WAV file of %1 Hz, %2 channel(s), %3-bit "
                                       "(encoding %4) instead of %5 Hz mono 16-bit PCM")
                               .arg(wav.sampleRate)
                               .arg(wav.channels)
                               .arg(wav.bitsPerSample)
                               .arg(wav.encoding)
                               .arg(format.sampleRate));
        }
        if (wav.data.size() % 2 != 0) {
            return refused(AnswerFault::OddPcmLength, oddPcmMessage());
        }
        return cachedAsWav(wav.data, format.sampleRate);
    }
    case AudioKind::Mp3: {
        // Only what decodes is refused here: another rate or channel count is converted when
        // the timeline is made.
        QString error;
        const std::optional<Mp3StreamFacts> facts = checkMp3Stream(answer, &error);
        if (!facts) {
            return refused(AnswerFault::UndecodableMp3, QObject::tr("the answer's %1").arg(error));
        }
        CheckedAnswer checked = accepted(answer);
        checked.seconds = facts->sampleRate > 0 ? double(facts->samples) / facts->sampleRate : 0.0;
        return checked;
    }
    }
    return refused(AnswerFault::UndecodableMp3, QObject::tr("unknown output format kind"));
}

} // namespace lyrane
