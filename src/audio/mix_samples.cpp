#include "audio/mix_samples.h"

#include <algorithm>
#include <cmath>

namespace lyrane {

namespace {

qint16 toPcm16(double value) {
    return qint16(std::lrint(std::clamp(value, -1.0, 32767.0 / 32768.0) * 32768.0));
}

float toFloat(double value) {
    return float(std::clamp(value, -1.0, 1.0));
}

} // namespace

void mixSamples(const double* const* programme, int channels, qint64 available,
                const double* duckGains, const double* narration, double gain, qint64 count,
                double* out) {
    const size_t stride = size_t(channels);
    for (int c = 0; c < channels; ++c) {
        const double* sound = programme[c];
        double* to = out + c;
        for (qint64 i = 0; i < count; ++i) {
            to[size_t(i) * stride] =
                ((i < available ? sound[i] * duckGains[i] : 0.0) + narration[i]) * gain;
        }
    }
}

void storeMixedSamples(const double* mixed, qint64 count, int channels, AVSampleFormat format,
                       uint8_t* const* planes) {
    const qint64 total = count * channels;
    switch (format) {
    case AV_SAMPLE_FMT_FLTP:
        for (qint64 k = 0; k < total; ++k) {
            reinterpret_cast<float*>(planes[k % channels])[k / channels] = toFloat(mixed[k]);
        }
        break;
    case AV_SAMPLE_FMT_FLT:
        std::transform(mixed, mixed + total, reinterpret_cast<float*>(planes[0]), toFloat);
        break;
    case AV_SAMPLE_FMT_S16P:
        for (qint64 k = 0; k < total; ++k) {
            reinterpret_cast<qint16*>(planes[k % channels])[k / channels] = toPcm16(mixed[k]);
        }
        break;
    default:
        std::transform(mixed, mixed + total, reinterpret_cast<qint16*>(planes[0]), toPcm16);
        break;
    }
}

} // namespace lyrane
