#include "audio/resampling.h"
#include "audio/audio_error.h"
#include "audio/ffmpeg_handles.h"

#include <QObject>

#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
}

namespace lyrane {

using audio_detail::setError;

qint64 resampledLength(qint64 inputCount, int inputRate, int outputRate) {
    if (inputRate == outputRate) {
        return inputCount;
    }
    return av_rescale_rnd(inputCount, outputRate, inputRate, AV_ROUND_NEAR_INF);
}

std::optional<AudioBuffer> resample(const AudioBuffer& buffer, int sampleRate, QString* error) {
    if (sampleRate <= 0) {
        setError(error, QObject::tr("invalid target sample rate: %1").arg(sampleRate));
        return std::nullopt;
    }
    if (buffer.sampleRate <= 0) {
        setError(error, QObject::tr("invalid source sample rate: %1").arg(buffer.sampleRate));
        return std::nullopt;
    }
    if (buffer.sampleRate == sampleRate) {
        return buffer;
    }
    AudioBuffer result;
    result.sampleRate = sampleRate;
    const qint64 expected = resampledLength(buffer.samples.size(), buffer.sampleRate, sampleRate);
    if (buffer.samples.isEmpty()) {
        return result;
    }

    const QString failed = QObject::tr("failed to resample audio from %1 Hz to %2 Hz")
                               .arg(buffer.sampleRate)
                               .arg(sampleRate);
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    SwrContext* rawSwr = nullptr;
    if (swr_alloc_set_opts2(&rawSwr, &mono, AV_SAMPLE_FMT_DBL, sampleRate, &mono, AV_SAMPLE_FMT_DBL,
                            buffer.sampleRate, 0, nullptr) < 0) {
        setError(error, failed);
        return std::nullopt;
    }
    SwrContextPtr resampler(rawSwr);
    if (swr_init(resampler.get()) < 0) {
        setError(error, failed);
        return std::nullopt;
    }

    result.samples.resize(expected);
    qint64 produced = 0;
    std::vector<double> scratch;
    auto take = [&](const double* data, int n) {
        const qint64 keep = qMin<qint64>(n, expected - produced);
        if (keep > 0) {
            std::memcpy(result.samples.data() + produced, data,
                        sizeof(double) * static_cast<size_t>(keep));
            produced += keep;
        }
    };
    // Converted in slices so the scratch space stays small for long buffers.
    constexpr qint64 kSlice = 1 << 16;
    const qint64 total = buffer.samples.size();
    auto convert = [&](const double* in, int count) {
        const int capacity = swr_get_out_samples(resampler.get(), count) + 16;
        scratch.resize(static_cast<size_t>(capacity));
        auto* out = reinterpret_cast<uint8_t*>(scratch.data());
        const auto* inData = reinterpret_cast<const uint8_t*>(in);
        const int n = swr_convert(resampler.get(), &out, capacity, in ? &inData : nullptr, count);
        if (n > 0) {
            take(scratch.data(), n);
        }
        return n;
    };
    for (qint64 offset = 0; offset < total; offset += kSlice) {
        const int count = static_cast<int>(qMin(kSlice, total - offset));
        if (convert(buffer.samples.constData() + offset, count) < 0) {
            setError(error, failed);
            return std::nullopt;
        }
    }
    for (;;) {
        const int n = convert(nullptr, 0);
        if (n < 0) {
            setError(error, failed);
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
    }
    // Length is fixed by the rate ratio so callers can plan with it; any short tail is silent.
    for (qint64 k = produced; k < expected; ++k) {
        result.samples[k] = 0.0;
    }
    return result;
}

} // namespace lyrane
