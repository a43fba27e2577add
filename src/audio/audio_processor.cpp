#include "audio/audio_processor.h"
#include "audio/audio_processor_internal.h"
#include "audio/streamed_timeline.h"

#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QSaveFile>
#include <QtEndian>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace lyrane {

namespace {

void setError(QString* error, const QString& message) {
    if (error) {
        *error = message;
    }
}

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

constexpr qint64 kRenderChunk = 1 << 16;

} // namespace

namespace detail {

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

bool writeWavFile(
    qint64 sampleCount, int sampleRate, const QString& path,
    const std::function<bool(const std::function<bool(const qint16*, qint64)>&)>& produce,
    QString* error) {
    QByteArray header;
    if (!makeWavHeader(sampleCount, sampleRate, &header, error)) {
        return false;
    }
    // A device or pipe cannot be replaced atomically: write it directly.
    const QFileInfo info(path);
    const bool direct = info.exists() && !info.isFile();
    QSaveFile saveFile(path);
    QFile plainFile(path);
    QFileDevice& file = direct ? static_cast<QFileDevice&>(plainFile) : saveFile;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
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
    if (ok) {
        ok = direct ? plainFile.flush() : saveFile.commit();
    }
    if (!ok) {
        const QString reason = file.errorString();
        if (!direct) {
            saveFile.cancelWriting();
        }
        setError(error, QObject::tr("failed to write WAV file %1: %2").arg(path, reason));
        return false;
    }
    return true;
}

} // namespace detail

// ---- WAV and raw PCM --------------------------------------------------------------------

namespace {

struct WavLayout {
    qint32 sampleRate = 0;
    quint16 channels = 0;
    quint32 dataSize = 0; // as declared; the file may hold less
};

// Checks the header and finds the data chunk, leaving the file at its first byte.
bool readWavHeader(QFile& file, const QString& path, WavLayout* layout, QString* error) {
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error,
                 QObject::tr("failed to open WAV file %1: %2").arg(path, file.errorString()));
        return false;
    }
    LittleEndianReader reader(file);
    if (file.read(4) != "RIFF") {
        setError(error, QObject::tr("invalid WAV file: missing RIFF header"));
        return false;
    }
    reader.u32();
    if (file.read(4) != "WAVE") {
        setError(error, QObject::tr("invalid WAV file: missing WAVE header"));
        return false;
    }

    qint32 sampleRate = 0;
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
            sampleRate = static_cast<qint32>(reader.u32());
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
            layout->sampleRate = sampleRate;
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

// The first channel of the data chunk into samples (resized in place, so a reused buffer
// keeps its storage). Read in slices: no copy of the whole chunk is held.
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
                to[i] = detail::fromPcm16(qFromLittleEndian<qint16>(in + 2 * i));
            }
        } else {
            for (qint64 i = 0; i < frames; ++i) {
                to[i] = detail::fromPcm16(qFromLittleEndian<qint16>(in + 2 * i * channels));
            }
        }
        done += frames;
    }
    for (qint64 i = done; i < count; ++i) {
        out[i] = 0.0;
    }
}

// Length trimEndSilence keeps.
qsizetype trimmedLength(const QList<double>& samples) {
    const qsizetype n = samples.size();
    const double* s = samples.constData();
    qsizetype i = n - 1;
    while (i >= 0 && std::fabs(s[i]) <= 0.001) {
        --i;
    }
    if (i < 0) {
        return 0;
    }
    if ((n - 1) - i < 100) {
        return n;
    }
    return i + 1;
}

} // namespace

std::optional<AudioBuffer> AudioProcessor::readWav(const QString& path, QString* error) const {
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

bool AudioProcessor::writeWav(const AudioBuffer& buffer, const QString& path,
                              QString* error) const {
    const QList<double>& samples = buffer.samples;
    return detail::writeWavFile(
        samples.size(), buffer.sampleRate, path,
        [&samples](const std::function<bool(const qint16*, qint64)>& write) {
            std::vector<qint16> chunk(static_cast<size_t>(kRenderChunk));
            for (qint64 offset = 0; offset < samples.size(); offset += kRenderChunk) {
                const qint64 n = qMin(kRenderChunk, samples.size() - offset);
                const double* in = samples.constData() + offset;
                for (qint64 k = 0; k < n; ++k) {
                    chunk[static_cast<size_t>(k)] = detail::toPcm16(in[k]);
                }
                if (!write(chunk.data(), n)) {
                    return false;
                }
            }
            return true;
        },
        error);
}

std::optional<AudioBuffer> AudioProcessor::decodePcm16Mono(const QByteArray& data, int sampleRate,
                                                           QString* error) const {
    if (sampleRate < 1) {
        setError(error, QObject::tr("invalid PCM sample rate: %1").arg(sampleRate));
        return std::nullopt;
    }
    if (data.size() % 2 != 0) {
        setError(error, QObject::tr("raw PCM data length must be an even number of bytes"));
        return std::nullopt;
    }
    AudioBuffer buffer;
    buffer.sampleRate = sampleRate;
    const qsizetype count = data.size() / 2;
    buffer.samples.resize(count);
    const uchar* in = reinterpret_cast<const uchar*>(data.constData());
    double* out = buffer.samples.data();
    for (qsizetype i = 0; i < count; ++i) {
        out[i] = detail::fromPcm16(qFromLittleEndian<qint16>(in + 2 * i));
    }
    return buffer;
}

bool AudioProcessor::writePcm16MonoAsWav(const QByteArray& data, int sampleRate,
                                         const QString& path, QString* error) const {
    const auto buffer = decodePcm16Mono(data, sampleRate, error);
    if (!buffer) {
        return false;
    }
    return writeWav(*buffer, path, error);
}

bool AudioProcessor::ensureWavFile(const QString& path, int sampleRate, QString* error) const {
    // The samples cannot fail to read once the header is sound.
    QString readError;
    QFile wav(path);
    WavLayout layout;
    if (readWavHeader(wav, path, &layout, &readError)) {
        return true;
    }
    wav.close();
    if (!readError.contains(QLatin1String("missing RIFF header"), Qt::CaseInsensitive) &&
        !readError.contains(QLatin1String("missing WAVE header"), Qt::CaseInsensitive)) {
        setError(error, readError);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, QObject::tr("failed to open legacy PCM cache file %1: %2")
                            .arg(path, file.errorString()));
        return false;
    }
    const QByteArray bytes = file.readAll();
    file.close();
    QString convertError;
    if (!writePcm16MonoAsWav(bytes, sampleRate, path, &convertError)) {
        setError(error, QObject::tr("invalid WAV file: %1; legacy PCM conversion failed: %2")
                            .arg(readError, convertError));
        return false;
    }
    return true;
}

// ---- Mixing -----------------------------------------------------------------------------

namespace {

// Clips at the timeline's rate: same-rate clips are shared, others resampled.
std::optional<QList<AudioBuffer>> conformRates(const AudioProcessor& processor,
                                               const QList<AudioBuffer>& segments, int rate,
                                               QString* error) {
    QList<AudioBuffer> result;
    result.reserve(segments.size());
    for (const AudioBuffer& clip : segments) {
        if (clip.sampleRate == rate || clip.samples.isEmpty()) {
            result.append(clip);
            continue;
        }
        auto converted = processor.resample(clip, rate, error);
        if (!converted) {
            return std::nullopt;
        }
        result.append(std::move(*converted));
    }
    return result;
}

double peakOf(const QList<AudioBuffer>& clips) {
    double peak = 0.0;
    for (const AudioBuffer& clip : clips) {
        for (const double s : clip.samples) {
            peak = std::max(peak, std::fabs(s));
        }
    }
    return peak;
}

} // namespace

namespace {

// Fills plan clip by clip, so on failure it holds the placements of the clips that fitted.
// lengthAt(i) is clip i's length in samples at rate r.
bool planLengths(qsizetype count, qint64 r, const std::function<qint64(qsizetype)>& lengthAt,
                 const QList<qint64>& startTimesMs, const QList<qint64>& endTimesMs,
                 qint64 durationMs, qint64 paddingMs, TimelinePlan& plan, QString* error) {
    plan.sampleRate = static_cast<int>(r);
    plan.totalSamples = ((durationMs + paddingMs) * r) / 1000;
    const qint64 total = plan.totalSamples;
    plan.startSamples.reserve(count);
    plan.placements.reserve(count);
    qint64 cursor = 0;
    for (qsizetype i = 0; i < count; ++i) {
        const qint64 len = lengthAt(i);
        const qint64 desired = (startTimesMs.at(i) * r) / 1000;
        qint64 pos = desired;
        if (desired < cursor) {
            if (i > 0) {
                const qint64 gap = startTimesMs.at(i) - endTimesMs.at(i - 1);
                if (gap > 0) {
                    cursor += (gap * r) / 5000;
                }
            }
            pos = cursor;
        }
        const qint64 extra = ((pos + len - total) * 1000) / r + 500;
        if (pos >= total) {
            setError(error, QObject::tr("segment %1 would exceed output duration. Need "
                                        "approximately %2 ms of additional padding. Current "
                                        "padding: %3 ms, Total needed: %4 ms")
                                .arg(i + 1)
                                .arg(extra)
                                .arg(paddingMs)
                                .arg(paddingMs + extra));
            return false;
        }
        const qint64 end = pos + len;
        cursor = end;
        if (end > total) {
            setError(error, QObject::tr("segment %1 exceeds output duration while mixing. Need "
                                        "approximately %2 ms of additional padding. Current "
                                        "padding: %3 ms, Total needed: %4 ms")
                                .arg(i + 1)
                                .arg(extra)
                                .arg(paddingMs)
                                .arg(paddingMs + extra));
            return false;
        }
        plan.startSamples.append(pos);
        plan.placements.append({startTimesMs.at(i), (pos * 1000) / r, (end * 1000) / r});
    }
    return true;
}

bool checkPlanInput(qsizetype count, qint64 firstRate, const QList<qint64>& startTimesMs,
                    const QList<qint64>& endTimesMs, QString* error) {
    if (startTimesMs.size() != count || endTimesMs.size() != count) {
        setError(error, QObject::tr("segment count mismatch"));
        return false;
    }
    if (count == 0) {
        setError(error, QObject::tr("no segments to mix"));
        return false;
    }
    if (firstRate <= 0) {
        setError(error, QObject::tr("invalid sample rate of the first segment: %1").arg(firstRate));
        return false;
    }
    return true;
}

bool planInto(const QList<AudioBuffer>& segments, const QList<qint64>& startTimesMs,
              const QList<qint64>& endTimesMs, qint64 durationMs, qint64 paddingMs,
              TimelinePlan& plan, QString* error) {
    const qint64 r = segments.isEmpty() ? 0 : segments.first().sampleRate;
    if (!checkPlanInput(segments.size(), r, startTimesMs, endTimesMs, error)) {
        return false;
    }
    const auto lengthAt = [&segments, r](qsizetype i) -> qint64 {
        const AudioBuffer& clip = segments.at(i);
        return clip.samples.isEmpty()
                   ? 0
                   : detail::resampledLength(clip.samples.size(), clip.sampleRate, int(r));
    };
    return planLengths(segments.size(), r, lengthAt, startTimesMs, endTimesMs, durationMs,
                       paddingMs, plan, error);
}

} // namespace

std::optional<TimelinePlan> AudioProcessor::planTimeline(const QList<AudioBuffer>& segments,
                                                         const QList<qint64>& startTimesMs,
                                                         const QList<qint64>& endTimesMs,
                                                         qint64 durationMs, qint64 paddingMs,
                                                         QString* error) const {
    TimelinePlan plan;
    if (!planInto(segments, startTimesMs, endTimesMs, durationMs, paddingMs, plan, error)) {
        return std::nullopt;
    }
    return plan;
}

std::optional<AudioBuffer>
AudioProcessor::mixSegments(const QList<AudioBuffer>& segments, const QList<qint64>& startTimesMs,
                            const QList<qint64>& endTimesMs, qint64 durationMs, qint64 paddingMs,
                            QList<SegmentPlacement>* placements, QString* error) const {
    TimelinePlan planned;
    if (!planInto(segments, startTimesMs, endTimesMs, durationMs, paddingMs, planned, error)) {
        if (placements) {
            placements->append(planned.placements);
        }
        return std::nullopt;
    }
    const TimelinePlan* plan = &planned;
    const auto clips = conformRates(*this, segments, plan->sampleRate, error);
    if (!clips) {
        return std::nullopt;
    }
    AudioBuffer output;
    output.sampleRate = plan->sampleRate;
    output.samples.fill(0.0, qMax<qint64>(plan->totalSamples, 0));
    double* out = output.samples.data();
    for (qsizetype i = 0; i < clips->size(); ++i) {
        const QList<double>& samples = clips->at(i).samples;
        double* target = out + plan->startSamples.at(i);
        for (qsizetype k = 0; k < samples.size(); ++k) {
            target[k] += samples.at(k);
        }
    }
    if (placements) {
        placements->append(plan->placements);
    }
    normalize(output);
    return output;
}

void AudioProcessor::normalize(AudioBuffer& buffer) const {
    double peak = 0.0;
    for (const double s : std::as_const(buffer.samples)) {
        peak = std::max(peak, std::fabs(s));
    }
    if (peak > 1.0) {
        for (double& s : buffer.samples) {
            s /= peak;
        }
    }
}

AudioBuffer AudioProcessor::trimEndSilence(const AudioBuffer& buffer) const {
    const qsizetype keep = trimmedLength(buffer.samples);
    if (keep == buffer.samples.size()) {
        return buffer;
    }
    AudioBuffer trimmed;
    trimmed.sampleRate = buffer.sampleRate;
    if (keep > 0) {
        trimmed.samples = buffer.samples.first(keep);
    }
    return trimmed;
}

// ---- Streaming timeline render ----------------------------------------------------------

namespace {

// Gives clip j's samples (its planned length of them), or null to stop. The renderer asks for
// the clips in order, the same one for several chunks in a row.
using ClipSamples = std::function<const double*(qsizetype j)>;

// Renders the planned timeline as 16-bit chunks, equal sample for sample to mixSegments'
// normalized result. Clips never overlap, so each output sample is one clip sample or 0 and
// the peak of the mix is the largest clip peak.
bool renderTimeline(const QList<qint64>& lengths, const ClipSamples& samplesOf, double peak,
                    const TimelinePlan& plan,
                    const std::function<bool(const qint16*, qint64)>& sink) {
    const bool scale = peak > 1.0;
    const qint64 total = qMax<qint64>(plan.totalSamples, 0);
    std::vector<qint16> chunk(static_cast<size_t>(kRenderChunk));
    qsizetype first = 0;
    for (qint64 a = 0; a < total; a += kRenderChunk) {
        const qint64 b = qMin(a + kRenderChunk, total);
        std::fill(chunk.begin(), chunk.begin() + (b - a), qint16(0));
        for (qsizetype j = first; j < lengths.size(); ++j) {
            const qint64 start = plan.startSamples.at(j);
            if (start >= b) {
                break;
            }
            const qint64 end = start + lengths.at(j);
            if (end <= a) {
                if (j == first) {
                    ++first;
                }
                continue;
            }
            const qint64 from = qMax(start, a);
            const qint64 to = qMin(end, b);
            if (to <= from) {
                continue;
            }
            const double* clip = samplesOf(j);
            if (!clip) {
                return false;
            }
            const double* in = clip + (from - start);
            qint16* out = chunk.data() + (from - a);
            if (scale) {
                for (qint64 t = 0; t < to - from; ++t) {
                    out[t] = detail::toPcm16(in[t] / peak);
                }
            } else {
                for (qint64 t = 0; t < to - from; ++t) {
                    out[t] = detail::toPcm16(in[t]);
                }
            }
        }
        if (!sink(chunk.data(), b - a)) {
            return false;
        }
    }
    return true;
}

bool renderTimeline(const QList<AudioBuffer>& clips, const TimelinePlan& plan,
                    const std::function<bool(const qint16*, qint64)>& sink) {
    QList<qint64> lengths;
    lengths.reserve(clips.size());
    for (const AudioBuffer& clip : clips) {
        lengths.append(clip.samples.size());
    }
    return renderTimeline(
        lengths, [&clips](qsizetype j) { return clips.at(j).samples.constData(); }, peakOf(clips),
        plan, sink);
}

// Loads the clips one at a time as the renderer reaches them, checking each against its
// planned length; the first failure's message is kept.
class StreamedClips {
public:
    StreamedClips(const QList<qint64>& lengths, const TimelineClipLoader& load)
        : m_lengths(lengths), m_load(load) {}

    const double* samplesOf(qsizetype j) {
        if (j != m_index) {
            m_index = -1;
            QString error;
            if (!m_load(j, m_clip, &error)) {
                m_error = error;
                return nullptr;
            }
            if (m_clip.samples.size() != m_lengths.at(j)) {
                m_error =
                    QObject::tr("audio segment %1 changed while the output was written").arg(j + 1);
                return nullptr;
            }
            m_index = j;
        }
        return m_clip.samples.constData();
    }

    // Replaces the writer's message when a clip, not the file, failed.
    bool fail(QString* error) const {
        if (!m_error.isEmpty()) {
            setError(error, m_error);
        }
        return false;
    }

private:
    const QList<qint64>& m_lengths;
    const TimelineClipLoader& m_load;
    AudioBuffer m_clip;
    qsizetype m_index = -1;
    QString m_error;
};

bool checkStreamedPlan(const QList<qint64>& lengths, const TimelinePlan& plan, QString* error) {
    if (plan.sampleRate <= 0 || plan.startSamples.size() != lengths.size()) {
        setError(error, QObject::tr("timeline plan does not match the segments"));
        return false;
    }
    return true;
}

bool checkPlan(const QList<AudioBuffer>& segments, const TimelinePlan& plan, QString* error) {
    if (plan.sampleRate <= 0 || plan.startSamples.size() != segments.size()) {
        setError(error, QObject::tr("timeline plan does not match the segments"));
        return false;
    }
    return true;
}

} // namespace

bool AudioProcessor::writeTimelineWav(const QList<AudioBuffer>& segments, const TimelinePlan& plan,
                                      const QString& path, QString* error) const {
    if (!checkPlan(segments, plan, error)) {
        return false;
    }
    const auto clips = conformRates(*this, segments, plan.sampleRate, error);
    if (!clips) {
        return false;
    }
    return detail::writeWavFile(
        qMax<qint64>(plan.totalSamples, 0), plan.sampleRate, path,
        [&](const std::function<bool(const qint16*, qint64)>& write) {
            return renderTimeline(*clips, plan, write);
        },
        error);
}

bool AudioProcessor::writeTimelineMp3(const QList<AudioBuffer>& segments, const TimelinePlan& plan,
                                      const QString& path, QString* error) const {
    if (!checkPlan(segments, plan, error)) {
        return false;
    }
    const auto clips = conformRates(*this, segments, plan.sampleRate, error);
    if (!clips) {
        return false;
    }
    return detail::writeMp3File(
        plan.sampleRate, kMp3BitRate, path,
        [&](detail::Mp3Encoder& encoder, const detail::PacketSink& sink) {
            return renderTimeline(*clips, plan, [&](const qint16* samples, qint64 count) {
                return encoder.write(samples, count, sink);
            });
        },
        error);
}

std::optional<TimelinePlan> planTimelineFromLengths(const QList<qint64>& lengths, int sampleRate,
                                                    const QList<qint64>& startTimesMs,
                                                    const QList<qint64>& endTimesMs,
                                                    qint64 durationMs, qint64 paddingMs,
                                                    QString* error) {
    if (!checkPlanInput(lengths.size(), sampleRate, startTimesMs, endTimesMs, error)) {
        return std::nullopt;
    }
    TimelinePlan plan;
    if (!planLengths(
            lengths.size(), sampleRate, [&lengths](qsizetype i) { return lengths.at(i); },
            startTimesMs, endTimesMs, durationMs, paddingMs, plan, error)) {
        return std::nullopt;
    }
    return plan;
}

bool writeStreamedTimelineWav(const TimelinePlan& plan, const QList<qint64>& lengths, double peak,
                              const TimelineClipLoader& load, const QString& path, QString* error) {
    if (!checkStreamedPlan(lengths, plan, error)) {
        return false;
    }
    StreamedClips clips(lengths, load);
    if (!detail::writeWavFile(
            qMax<qint64>(plan.totalSamples, 0), plan.sampleRate, path,
            [&](const std::function<bool(const qint16*, qint64)>& write) {
                return renderTimeline(
                    lengths, [&clips](qsizetype j) { return clips.samplesOf(j); }, peak, plan,
                    write);
            },
            error)) {
        return clips.fail(error);
    }
    return true;
}

bool writeStreamedTimelineMp3(const TimelinePlan& plan, const QList<qint64>& lengths, double peak,
                              const TimelineClipLoader& load, const QString& path, QString* error) {
    if (!checkStreamedPlan(lengths, plan, error)) {
        return false;
    }
    StreamedClips clips(lengths, load);
    if (!detail::writeMp3File(
            plan.sampleRate, AudioProcessor::kMp3BitRate, path,
            [&](detail::Mp3Encoder& encoder, const detail::PacketSink& sink) {
                return renderTimeline(
                    lengths, [&clips](qsizetype j) { return clips.samplesOf(j); }, peak, plan,
                    [&](const qint16* samples, qint64 count) {
                        return encoder.write(samples, count, sink);
                    });
            },
            error)) {
        return clips.fail(error);
    }
    return true;
}

bool loadTrimmedClip(const AudioProcessor& audio, const QString& path, AudioBuffer& clip,
                     QString* error) {
    if (QFileInfo(path).suffix().toLower() == QLatin1String("wav")) {
        QFile file(path);
        WavLayout layout;
        if (readWavHeader(file, path, &layout, nullptr)) {
            clip.sampleRate = layout.sampleRate;
            readWavSamples(file, layout, clip.samples);
            clip.samples.resize(trimmedLength(clip.samples));
            return true;
        }
    }
    // Everything else, and WAV files loadAudio repairs, the ordinary way.
    const std::optional<AudioBuffer> loaded = audio.loadAudio(path, error);
    if (!loaded) {
        return false;
    }
    clip = audio.trimEndSilence(*loaded);
    return true;
}

} // namespace lyrane
