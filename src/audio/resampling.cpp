#include "audio/resampling.h"
#include "audio/audio_error.h"
#include "audio/ffmpeg_handles.h"

#include <QObject>

#include <algorithm>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
}

namespace lyrane {

using audio_detail::setError;

qint64 resampledLength(qint64 inputCount, int inputRate, int outputRate) {
    if (inputRate == outputRate) {
        return inputCount;
    }
    return av_rescale_rnd(inputCount, outputRate, inputRate, AV_ROUND_NEAR_INF);
}

void ClipResampler::Freer::operator()(SwrContext* context) const {
    swr_free(&context);
}

ClipResampler::ClipResampler(ResamplingPrecision precision) : precision(precision) {}
ClipResampler::~ClipResampler() = default;

bool ClipResampler::resample(const AudioBuffer& buffer, int sampleRate, AudioBuffer& out,
                             QString* error) {
    if (sampleRate <= 0) {
        setError(error, QObject::tr("invalid target sample rate: %1").arg(sampleRate));
        return false;
    }
    if (buffer.sampleRate <= 0) {
        setError(error, QObject::tr("invalid source sample rate: %1").arg(buffer.sampleRate));
        return false;
    }
    out.sampleRate = sampleRate;
    if (buffer.sampleRate == sampleRate) {
        out.samples = buffer.samples;
        return true;
    }
    const qint64 expected = resampledLength(buffer.samples.size(), buffer.sampleRate, sampleRate);
    out.samples.resize(expected);
    if (buffer.samples.isEmpty()) {
        return true;
    }

    const QString failed = QObject::tr("failed to resample audio from %1 Hz to %2 Hz")
                               .arg(buffer.sampleRate)
                               .arg(sampleRate);
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    // Set up again for each clip, which clears what the last one left; the filter is kept while
    // the rates stay the same.
    SwrContext* raw = context.release();
    if (swr_alloc_set_opts2(&raw, &mono, AV_SAMPLE_FMT_DBL, sampleRate, &mono, AV_SAMPLE_FMT_DBL,
                            buffer.sampleRate, 0, nullptr) < 0) {
        context.reset(raw);
        setError(error, failed);
        return false;
    }
    context.reset(raw);
    // The samples stay double on both sides; only the filter runs in single precision.
    const AVSampleFormat internal =
        precision == ResamplingPrecision::Single ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_DBLP;
    if (av_opt_set_sample_fmt(context.get(), "internal_sample_fmt", internal, 0) < 0 ||
        swr_init(context.get()) < 0) {
        setError(error, failed);
        return false;
    }

    qint64 produced = 0;
    auto take = [&](const double* data, int n) {
        const qint64 keep = qMin<qint64>(n, expected - produced);
        if (keep > 0) {
            std::memcpy(out.samples.data() + produced, data,
                        sizeof(double) * static_cast<size_t>(keep));
            produced += keep;
        }
    };
    // Converted in slices so the scratch space stays small for long buffers.
    constexpr qint64 kSlice = 1 << 16;
    const qint64 total = buffer.samples.size();
    auto convert = [&](const double* in, int count) {
        const int capacity = swr_get_out_samples(context.get(), count) + 16;
        if (scratch.size() < static_cast<size_t>(capacity)) {
            scratch.resize(static_cast<size_t>(capacity));
        }
        auto* outData = reinterpret_cast<uint8_t*>(scratch.data());
        const auto* inData = reinterpret_cast<const uint8_t*>(in);
        const int n = swr_convert(context.get(), &outData, capacity, in ? &inData : nullptr, count);
        if (n > 0) {
            take(scratch.data(), n);
        }
        return n;
    };
    for (qint64 offset = 0; offset < total; offset += kSlice) {
        const int count = static_cast<int>(qMin(kSlice, total - offset));
        if (convert(buffer.samples.constData() + offset, count) < 0) {
            setError(error, failed);
            return false;
        }
    }
    for (;;) {
        const int n = convert(nullptr, 0);
        if (n < 0) {
            setError(error, failed);
            return false;
        }
        if (n == 0) {
            break;
        }
    }
    // Length is fixed by the rate ratio so callers can plan with it; any short tail is silent.
    std::fill(out.samples.begin() + produced, out.samples.end(), 0.0);
    return true;
}

std::optional<AudioBuffer> resample(const AudioBuffer& buffer, int sampleRate, QString* error) {
    ClipResampler resampler;
    AudioBuffer result;
    if (!resampler.resample(buffer, sampleRate, result, error)) {
        return std::nullopt;
    }
    return result;
}

} // namespace lyrane
