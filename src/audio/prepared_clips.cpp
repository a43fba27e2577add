#include "audio/prepared_clips.h"

#include "audio/audio_error.h"
#include "audio/clip_loading.h"
#include "audio/pcm16_clip.h"
#include "audio/resampling.h"
#include "audio/time_stretch.h"

#include <QDir>
#include <QFileInfo>
#include <QObject>
#include <QTemporaryFile>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace lyrane {

using audio_detail::setError;

namespace {

constexpr int kMaxThreads = 8;

// How a clip waits between the passes. Samples decoded from 16-bit audio are kept as 16-bit
// values, stretched ones as floats; only what neither holds exactly costs a double.
enum class Spill : quint8 { None, Int16, Float32, Float64 };

int bytesPerSample(Spill form) {
    switch (form) {
    case Spill::Int16:
        return 2;
    case Spill::Float32:
        return 4;
    case Spill::Float64:
        return 8;
    case Spill::None:
        break;
    }
    return 0;
}

// Writes the samples in the narrowest form that keeps them exact: 16-bit values where every
// sample is one (decoded 16-bit audio), else floats where every sample is one (stretched
// audio), else doubles.
Spill encodeSpill(const double* s, qint64 n, std::vector<char>& bytes) {
    bytes.resize(static_cast<size_t>(n * 2));
    auto* int16 = reinterpret_cast<qint16*>(bytes.data());
    qint64 i = 0;
    for (; i < n; ++i) {
        const double v = s[i] * 32768.0; // exact: a power of two
        if (!(v >= -32768.0 && v <= 32767.0)) {
            break;
        }
        const auto q = static_cast<qint16>(v);
        if (double(q) != v) {
            break;
        }
        int16[i] = q;
    }
    if (i == n) {
        return Spill::Int16;
    }
    bytes.resize(static_cast<size_t>(n * 4));
    auto* float32 = reinterpret_cast<float*>(bytes.data());
    for (i = 0; i < n; ++i) {
        const auto f = static_cast<float>(s[i]);
        if (double(f) != s[i]) {
            break;
        }
        float32[i] = f;
    }
    if (i == n) {
        return Spill::Float32;
    }
    bytes.resize(static_cast<size_t>(n * 8));
    std::memcpy(bytes.data(), s, static_cast<size_t>(n * 8));
    return Spill::Float64;
}

void decodeSpill(const char* in, qint64 n, Spill form, double* s) {
    if (form == Spill::Int16) {
        const auto* values = reinterpret_cast<const qint16*>(in);
        for (qint64 i = 0; i < n; ++i) {
            s[i] = values[i] * 0.000030517578125;
        }
    } else if (form == Spill::Float32) {
        const auto* values = reinterpret_cast<const float*>(in);
        for (qint64 i = 0; i < n; ++i) {
            s[i] = values[i];
        }
    } else {
        std::memcpy(s, in, static_cast<size_t>(n * 8));
    }
}

} // namespace

struct PreparedClips::State {
    QStringList paths;
    int sampleRate = 0;
    QList<qint64> lengths;
    QList<double> speedUps;
    QList<ClipFigures> figures;
    std::vector<Spill> forms;
    std::vector<qint64> offsets;
    double peak = 0.0;
    std::optional<LoudnessReading> loudness;

    std::unique_ptr<QTemporaryFile> spill;
    qint64 spillSize = 0;
    mutable std::vector<char> scratch;
};

PreparedClips::PreparedClips() : d(std::make_unique<State>()) {}
PreparedClips::~PreparedClips() = default;
PreparedClips::PreparedClips(PreparedClips&&) noexcept = default;
PreparedClips& PreparedClips::operator=(PreparedClips&&) noexcept = default;

int PreparedClips::sampleRate() const {
    return d->sampleRate;
}

const QList<qint64>& PreparedClips::lengths() const {
    return d->lengths;
}

const QList<double>& PreparedClips::speedUps() const {
    return d->speedUps;
}

double PreparedClips::peak() const {
    return d->peak;
}

const QList<ClipFigures>& PreparedClips::figures() const {
    return d->figures;
}

std::optional<LoudnessReading> PreparedClips::loudness() const {
    return d->loudness;
}

qint64 PreparedClips::speechMs() const {
    qint64 total = 0;
    if (d->sampleRate > 0) {
        for (const qint64 length : d->lengths) {
            total += length * 1000 / d->sampleRate;
        }
    }
    return total;
}

bool PreparedClips::load(qsizetype index, AudioBuffer& clip, QString* error) const {
    const Spill form = d->forms[size_t(index)];
    if (form == Spill::None) {
        return loadTrimmedClip(d->paths[index], clip, error);
    }
    const qint64 n = d->lengths[index];
    const qint64 bytes = n * bytesPerSample(form);
    d->scratch.resize(static_cast<size_t>(bytes));
    QTemporaryFile& file = *d->spill;
    qint64 got = 0;
    if (file.seek(d->offsets[size_t(index)])) {
        while (got < bytes) {
            const qint64 r = file.read(d->scratch.data() + got, bytes - got);
            if (r <= 0) {
                break;
            }
            got += r;
        }
    }
    if (got != bytes) {
        setError(error, QObject::tr("failed to read the temporary file %1: %2")
                            .arg(file.fileName(), file.errorString()));
        return false;
    }
    clip.sampleRate = d->sampleRate;
    clip.samples.resize(n);
    decodeSpill(d->scratch.data(), n, form, clip.samples.data());
    return true;
}

namespace {

// One thread's clip, reused from clip to clip: fresh memory is costly.
struct ClipBuffers {
    Pcm16Clip values; // a plain WAV clip
    AudioBuffer clip; // any other, or one made of the values
    std::vector<char> bytes;
    bool asValues = false;
};

// One clip's outcome in the first pass.
enum class Step : quint8 {
    Pending,
    Loaded,
    Done,
    LoadFailed,
    ResampleFailed,
    SpeedUpFailed,
    MeasureFailed,
};

} // namespace

std::optional<PreparedClips> PreparedClips::prepare(const QStringList& paths,
                                                    const ClipPreparation& preparation,
                                                    ClipFailure* failure) {
    PreparedClips result;
    State& s = *result.d;
    s.paths = paths;
    const qsizetype count = paths.size();
    s.lengths.fill(0, count);
    s.speedUps.fill(1.0, count);
    // Written by the threads at their own indices, through pointers taken now: element access
    // on the lists themselves would check for sharing on every call.
    qint64* const lengths = s.lengths.data();
    double* const speedUps = s.speedUps.data();
    s.forms.assign(size_t(count), Spill::None);
    s.offsets.assign(size_t(count), 0);

    std::vector<Step> steps(size_t(count), Step::Pending);
    std::vector<QString> errors(static_cast<size_t>(count));
    s.figures.fill(ClipFigures(), count);
    ClipFigures* const figures = s.figures.data();
    std::atomic<qsizetype> next{0};
    // After a failure of a later stage, clips still go through the earlier ones, so the
    // failure reported is the one a stage-by-stage run would meet first.
    std::atomic<bool> resampleFailed{false};
    std::atomic<bool> speedUpFailed{false};
    std::mutex spillLock;

    const int threads = int(std::min<qsizetype>(
        preparation.threads > 0 ? preparation.threads
                                : std::clamp(QThread::idealThreadCount(), 1, kMaxThreads),
        std::max<qsizetype>(count, 1)));
    std::vector<LoudnessMeter> meters(static_cast<size_t>(threads));

    const auto spillClip = [&](qsizetype i, Spill form, const std::vector<char>& bytes,
                               QString* error) {
        const std::lock_guard<std::mutex> lock(spillLock);
        if (!s.spill) {
            auto file = std::make_unique<QTemporaryFile>(
                QDir(QDir::tempPath()).filePath(QStringLiteral("lyrane-clips-XXXXXX")));
            if (!file->open()) {
                setError(error, QObject::tr("failed to create a temporary file in %1: %2")
                                    .arg(QDir::tempPath(), file->errorString()));
                return false;
            }
            s.spill = std::move(file);
        }
        if (!s.spill->seek(s.spillSize) ||
            s.spill->write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size())) {
            setError(error, QObject::tr("failed to write the temporary file %1: %2")
                                .arg(s.spill->fileName(), s.spill->errorString()));
            return false;
        }
        s.forms[size_t(i)] = form;
        s.offsets[size_t(i)] = s.spillSize;
        s.spillSize += qint64(bytes.size());
        return true;
    };

    // A plain WAV clip is kept as its 16-bit values, anything else as samples.
    const auto loadClip = [&](qsizetype i, ClipBuffers& buffers) {
        buffers.asValues = loadTrimmedPcm16Clip(paths[i], buffers.values);
        QString error;
        if (!buffers.asValues && !loadTrimmedClip(paths[i], buffers.clip, &error)) {
            steps[size_t(i)] = Step::LoadFailed;
            errors[size_t(i)] = error;
            return false;
        }
        steps[size_t(i)] = Step::Loaded;
        return true;
    };

    const auto measureLoudness = [&](qsizetype i, const QList<double>& samples,
                                     LoudnessMeter& meter) {
        QString error;
        if (preparation.measureLoudness && !samples.isEmpty() &&
            !meter.addPart(samples.constData(), samples.size(), &error)) {
            steps[size_t(i)] = Step::MeasureFailed;
            errors[size_t(i)] = error;
            return false;
        }
        return true;
    };

    // Clip i, loaded as samples, through the other stages; false when the pass must stop at
    // once.
    const auto finishClip = [&](qsizetype i, AudioBuffer& clip, LoudnessMeter& meter,
                                std::vector<char>& bytes) {
        QString error;
        if (resampleFailed.load()) {
            return true;
        }
        bool remade = QFileInfo(paths[i]).suffix().toLower() != QLatin1String("wav");
        if (s.sampleRate > 0 && clip.sampleRate != s.sampleRate) {
            std::optional<AudioBuffer> resampled = resample(clip, s.sampleRate, &error);
            if (!resampled) {
                steps[size_t(i)] = Step::ResampleFailed;
                errors[size_t(i)] = error;
                resampleFailed.store(true);
                return true;
            }
            clip = std::move(*resampled);
            remade = true;
        }
        if (preparation.speedUp && !speedUpFailed.load()) {
            const double factor = preparation.speedUp(i, clip.samples.size(), clip.sampleRate);
            if (factor != 1.0) {
                std::optional<AudioBuffer> faster = speedUp(clip, factor, &error);
                if (!faster) {
                    steps[size_t(i)] = Step::SpeedUpFailed;
                    errors[size_t(i)] = error;
                    speedUpFailed.store(true);
                    return true;
                }
                clip = std::move(*faster);
                speedUps[i] = factor;
                remade = true;
            }
        }
        if (speedUpFailed.load()) {
            return true; // the run stops after this pass; nothing more to keep
        }
        const qint64 length = clip.samples.size();
        lengths[i] = length;
        // Samples that are 16-bit values are measured as such, from the spill's bytes.
        const Spill form =
            remade ? encodeSpill(clip.samples.constData(), length, bytes) : Spill::None;
        figures[i] = form == Spill::Int16
                         ? measurePcm16Clip(reinterpret_cast<const qint16*>(bytes.data()), length,
                                            clip.sampleRate)
                         : measureClip(clip.samples, clip.sampleRate);
        if (!measureLoudness(i, clip.samples, meter)) {
            return false;
        }
        if (remade && !spillClip(i, form, bytes, &error)) {
            steps[size_t(i)] = Step::MeasureFailed;
            errors[size_t(i)] = error;
            return false;
        }
        steps[size_t(i)] = Step::Done;
        return true;
    };

    // Clip i, loaded, through the other stages. A plain WAV clip at the timeline's rate that
    // is not sped up is measured from its values: samples are made of it only for the
    // loudness meter, and it is read again from its file.
    const auto finish = [&](qsizetype i, ClipBuffers& buffers, LoudnessMeter& meter) {
        if (!buffers.asValues) {
            return finishClip(i, buffers.clip, meter, buffers.bytes);
        }
        const Pcm16Clip& values = buffers.values;
        const qint64 length = qint64(values.values.size());
        if (resampleFailed.load()) {
            return true;
        }
        const bool kept = values.sampleRate == s.sampleRate &&
                          (!preparation.speedUp || speedUpFailed.load() ||
                           preparation.speedUp(i, length, values.sampleRate) == 1.0);
        if (!kept) {
            buffers.clip.sampleRate = values.sampleRate;
            pcm16ToSamples(values, buffers.clip.samples);
            return finishClip(i, buffers.clip, meter, buffers.bytes);
        }
        if (speedUpFailed.load()) {
            return true;
        }
        lengths[i] = length;
        figures[i] = measurePcm16Clip(values.values.data(), length, values.sampleRate);
        if (preparation.measureLoudness) {
            pcm16ToSamples(values, buffers.clip.samples);
            if (!measureLoudness(i, buffers.clip.samples, meter)) {
                return false;
            }
        }
        steps[size_t(i)] = Step::Done;
        return true;
    };

    std::atomic<bool> stop{false};
    const auto work = [&](int t) {
        ClipBuffers buffers; // reused from clip to clip
        while (!stop.load(std::memory_order_relaxed)) {
            if (stopRequested(preparation.stopped)) {
                stop.store(true);
                return;
            }
            const qsizetype i = next.fetch_add(1);
            if (i >= count) {
                return;
            }
            if (!loadClip(i, buffers) || !finish(i, buffers, meters[size_t(t)])) {
                stop.store(true);
                return;
            }
        }
    };

    // The first clip fixes the timeline's rate, which every other clip is resampled to, and
    // the rate the meters run at.
    if (count > 0) {
        ClipBuffers first;
        next.store(1);
        if (!loadClip(0, first)) {
            stop.store(true);
        } else {
            s.sampleRate = first.asValues ? first.values.sampleRate : first.clip.sampleRate;
            QString error;
            for (LoudnessMeter& meter : meters) {
                if (preparation.measureLoudness && s.sampleRate > 0 &&
                    !meter.open(s.sampleRate, &error)) {
                    steps[0] = Step::MeasureFailed;
                    errors[0] = error;
                    stop.store(true);
                    break;
                }
            }
            if (!stop.load() && !finish(0, first, meters[0])) {
                stop.store(true);
            }
        }
    }
    if (!stop.load() && !stopRequested(preparation.stopped)) {
        std::vector<std::thread> helpers;
        for (int t = 1; t < threads; ++t) {
            helpers.emplace_back(work, t);
        }
        work(0);
        for (std::thread& helper : helpers) {
            helper.join();
        }
    }

    if (stopRequested(preparation.stopped)) {
        if (failure) {
            *failure = {ClipFailure::Kind::Stopped, -1, QString()};
        }
        return std::nullopt;
    }
    // Indices are claimed in order, so the first clip not loaded is the first that failed.
    const auto fail = [&](ClipFailure::Kind kind, qsizetype i) {
        if (failure) {
            failure->kind = kind;
            failure->index = i;
            failure->message = errors[size_t(i)];
        }
        return std::nullopt;
    };
    for (qsizetype i = 0; i < count; ++i) {
        if (steps[size_t(i)] == Step::LoadFailed || steps[size_t(i)] == Step::Pending) {
            return fail(ClipFailure::Kind::Load, i);
        }
    }
    for (const auto& [step, kind] : {std::pair{Step::MeasureFailed, ClipFailure::Kind::Measure},
                                     std::pair{Step::ResampleFailed, ClipFailure::Kind::Resample},
                                     std::pair{Step::SpeedUpFailed, ClipFailure::Kind::SpeedUp}}) {
        for (qsizetype i = 0; i < count; ++i) {
            if (steps[size_t(i)] == step) {
                return fail(kind, i);
            }
        }
    }

    for (const ClipFigures& clip : s.figures) {
        s.peak = std::max(s.peak, clip.peak);
    }
    if (preparation.measureLoudness) {
        std::vector<const LoudnessMeter*> opened;
        for (const LoudnessMeter& meter : meters) {
            if (meter.sampleRate() > 0) {
                opened.push_back(&meter);
            }
        }
        // No meter runs only when the first clip has no rate; the plan refuses that timeline.
        s.loudness = LoudnessReading{-INFINITY, -INFINITY, 0.0};
        if (!opened.empty()) {
            QString error;
            s.loudness = LoudnessMeter::combined(opened, &error);
            if (!s.loudness) {
                if (failure) {
                    *failure = {ClipFailure::Kind::Measure, -1, error};
                }
                return std::nullopt;
            }
        }
    }
    return result;
}

} // namespace lyrane
