#pragma once

#include <QtGlobal>

#include <cstdint>

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace lyrane {

// The step between the programme's decoder and the output's encoder, with no file in sight:
// `count` samples of every channel, the programme lowered by the ducking gains (silent past
// its first `available` samples), the narration in the centre (the same signal on every
// channel), the whole times `gain`. Interleaved into `out` (count * channels), not clamped,
// so a meter sees what the mix made.
void mixSamples(const double* const* programme, int channels, qint64 available,
                const double* duckGains, const double* narration, double gain, qint64 count,
                double* out);

// The interleaved mix in an encoder's sample format, into a frame's planes (one for a packed
// format): float clamped to [-1, 1], 16-bit rounded and clamped to its range. Formats other
// than float and 16-bit, planar or packed, are written as packed 16-bit.
void storeMixedSamples(const double* mixed, qint64 count, int channels, AVSampleFormat format,
                       uint8_t* const* planes);

} // namespace lyrane
