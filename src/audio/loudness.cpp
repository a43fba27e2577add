#include "audio/loudness.h"

#include <QObject>

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace lyrane {

namespace {

void setError(QString* error, const QString& message) {
    if (error) {
        *error = message;
    }
}

struct StateDestroyer {
    void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
};

// Histogram mode keeps the gating in a fixed table (0.1 LU steps, as broadcast meters do)
// instead of a list that grows by one entry every 100 ms.
constexpr int kMode =
    EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_HISTOGRAM;

constexpr qint64 kSliceFrames = 1 << 14;

double toDb(double linear) {
    return linear > 0.0 ? 20.0 * std::log10(linear) : -std::numeric_limits<double>::infinity();
}

QString formatLevel(double value) {
    if (std::isinf(value)) {
        return value < 0 ? QStringLiteral("-inf") : QStringLiteral("inf");
    }
    return QString::number(value, 'f', 1);
}

} // namespace

struct LoudnessMeter::State {
    std::unique_ptr<ebur128_state, StateDestroyer> meter;
    int sampleRate = 0;
    int channels = 1;
    qint64 frames = 0; // fed since opened
};

LoudnessMeter::LoudnessMeter() : d(std::make_unique<State>()) {}
LoudnessMeter::~LoudnessMeter() = default;
LoudnessMeter::LoudnessMeter(LoudnessMeter&&) noexcept = default;
LoudnessMeter& LoudnessMeter::operator=(LoudnessMeter&&) noexcept = default;

bool LoudnessMeter::open(int sampleRate, QString* error) {
    return open(sampleRate, 1, error);
}

bool LoudnessMeter::open(int sampleRate, int channels, QString* error) {
    d->meter.reset();
    d->sampleRate = 0;
    if (sampleRate <= 0) {
        setError(error,
                 QObject::tr("invalid sample rate for loudness measurement: %1").arg(sampleRate));
        return false;
    }
    if (channels < 1 || channels > 2) {
        setError(error,
                 QObject::tr("invalid channel count for loudness measurement: %1").arg(channels));
        return false;
    }
    ebur128_state* state = ebur128_init(static_cast<unsigned>(channels),
                                        static_cast<unsigned long>(sampleRate), kMode);
    if (!state) {
        setError(error, QObject::tr("failed to start the loudness meter at %1 Hz").arg(sampleRate));
        return false;
    }
    d->meter.reset(state);
    d->frames = 0;
    d->sampleRate = sampleRate;
    d->channels = channels;
    return true;
}

int LoudnessMeter::sampleRate() const {
    return d->sampleRate;
}

bool LoudnessMeter::add(const double* samples, qint64 count, QString* error) {
    if (!d->meter) {
        setError(error, QObject::tr("loudness meter is not open"));
        return false;
    }
    for (qint64 offset = 0; offset < count; offset += kSliceFrames) {
        const qint64 n = std::min(kSliceFrames, count - offset);
        if (ebur128_add_frames_double(d->meter.get(), samples + offset * d->channels,
                                      static_cast<size_t>(n)) != EBUR128_SUCCESS) {
            setError(error, QObject::tr("loudness measurement failed"));
            return false;
        }
        d->frames += n;
    }
    return true;
}

bool LoudnessMeter::addSilence(qint64 count, QString* error) {
    // Room for a slice of stereo frames.
    static const std::vector<double> zeros(static_cast<size_t>(kSliceFrames) * 2, 0.0);
    for (qint64 offset = 0; offset < count; offset += kSliceFrames) {
        if (!add(zeros.data(), std::min(kSliceFrames, count - offset), error)) {
            return false;
        }
    }
    return true;
}

bool LoudnessMeter::addPart(const double* samples, qint64 count, QString* error) {
    if (!d->meter) {
        setError(error, QObject::tr("loudness meter is not open"));
        return false;
    }
    // Gating blocks are 400 ms long, one every 100 ms. A fresh meter makes its first block
    // only once 400 ms are in, so the first part is led by the 300 ms of silence that every
    // later part's first blocks hold. After a part, 500 ms of silence (the filters and the
    // true-peak interpolator ring for far less than the extra 100 ms), running on to the
    // 100 ms grid so the next part starts on it.
    const qint64 step = (qint64(d->sampleRate) + 5) / 10;
    if (d->frames == 0 && !addSilence(3 * step, error)) {
        return false;
    }
    const qint64 silence = qint64(d->sampleRate) / 2;
    return add(samples, count, error) &&
           addSilence(silence + (step - (d->frames + silence) % step) % step, error);
}

std::optional<LoudnessReading> LoudnessMeter::reading(QString* error) const {
    return combined({this}, error);
}

std::optional<LoudnessReading>
LoudnessMeter::combined(const std::vector<const LoudnessMeter*>& meters, QString* error) {
    std::vector<ebur128_state*> states;
    double truePeak = 0.0;
    for (const LoudnessMeter* meter : meters) {
        if (!meter || !meter->d->meter || meter->d->sampleRate != meters.front()->d->sampleRate ||
            meter->d->channels != meters.front()->d->channels) {
            setError(error, QObject::tr("loudness meters do not match"));
            return std::nullopt;
        }
        for (int channel = 0; channel < meter->d->channels; ++channel) {
            double peak = 0.0;
            if (ebur128_true_peak(meter->d->meter.get(), static_cast<unsigned>(channel), &peak) !=
                EBUR128_SUCCESS) {
                setError(error, QObject::tr("true-peak measurement failed"));
                return std::nullopt;
            }
            truePeak = std::max(truePeak, peak);
        }
        states.push_back(meter->d->meter.get());
    }
    if (states.empty()) {
        setError(error, QObject::tr("loudness meters do not match"));
        return std::nullopt;
    }
    double integrated = 0.0;
    if (ebur128_loudness_global_multiple(states.data(), states.size(), &integrated) !=
        EBUR128_SUCCESS) {
        setError(error, QObject::tr("loudness measurement failed"));
        return std::nullopt;
    }
    double range = 0.0;
    if (ebur128_loudness_range_multiple(states.data(), states.size(), &range) != EBUR128_SUCCESS) {
        setError(error, QObject::tr("loudness range measurement failed"));
        return std::nullopt;
    }
    LoudnessReading result;
    result.loudnessRangeLu = std::isfinite(range) ? range : 0.0;
    result.integratedLufs =
        std::isfinite(integrated) ? integrated : -std::numeric_limits<double>::infinity();
    result.truePeakDbtp = toDb(truePeak);
    return result;
}

LoudnessGain loudnessGain(const LoudnessReading& measured, double targetLufs,
                          double truePeakCeilingDbtp) {
    LoudnessGain gain;
    if (!std::isfinite(measured.integratedLufs)) {
        gain.outcome = LoudnessOutcome::Silent;
        gain.result = measured;
        return gain;
    }
    gain.gainDb = targetLufs - measured.integratedLufs;
    if (std::isfinite(measured.truePeakDbtp) &&
        measured.truePeakDbtp + gain.gainDb > truePeakCeilingDbtp) {
        gain.gainDb = truePeakCeilingDbtp - measured.truePeakDbtp;
        gain.outcome = LoudnessOutcome::LimitedByTruePeak;
    }
    gain.factor = std::pow(10.0, gain.gainDb / 20.0);
    gain.result.integratedLufs = measured.integratedLufs + gain.gainDb;
    gain.result.truePeakDbtp = measured.truePeakDbtp + gain.gainDb;
    gain.result.loudnessRangeLu = measured.loudnessRangeLu;
    return gain;
}

std::optional<LoudnessGain> applyLoudnessTarget(AudioBuffer& buffer, double targetLufs,
                                                double truePeakCeilingDbtp, QString* error) {
    LoudnessMeter meter;
    if (!meter.open(buffer.sampleRate, error) ||
        !meter.add(buffer.samples.constData(), buffer.samples.size(), error)) {
        return std::nullopt;
    }
    const std::optional<LoudnessReading> reading = meter.reading(error);
    if (!reading) {
        return std::nullopt;
    }
    const LoudnessGain gain = loudnessGain(*reading, targetLufs, truePeakCeilingDbtp);
    if (gain.factor != 1.0) {
        for (double& s : buffer.samples) {
            s *= gain.factor;
        }
    }
    return gain;
}

QString loudnessReport(const LoudnessGain& gain, double targetLufs, double truePeakCeilingDbtp) {
    QString line =
        QObject::tr("Loudness: %1 LUFS integrated, true peak %2 dBTP\n")
            .arg(formatLevel(gain.result.integratedLufs), formatLevel(gain.result.truePeakDbtp));
    QString reason;
    if (gain.outcome == LoudnessOutcome::LimitedByTruePeak) {
        reason = QObject::tr(" (target %1 LUFS not reached: the true-peak ceiling of %2 dBTP "
                             "limits the gain)")
                     .arg(formatLevel(targetLufs), formatLevel(truePeakCeilingDbtp));
    } else if (gain.outcome == LoudnessOutcome::Silent) {
        reason = QObject::tr(" (target %1 LUFS not reached: nothing in the output is loud "
                             "enough to measure)")
                     .arg(formatLevel(targetLufs));
    }
    if (!reason.isEmpty()) {
        line.insert(line.size() - 1, reason);
    }
    return line;
}

} // namespace lyrane
