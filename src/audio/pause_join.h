#pragma once

#include "audio/audio_buffer.h"

#include <QList>

namespace lyrane {

// The parts said one after another, part k after exactly pausesMs[k] of silence and
// pausesMs.last() of silence after the last part (pausesMs has one entry more than parts).
// Each part loses the near-silence at both its ends first, so a pause is heard as written. The
// parts share one rate; without parts the silence is at `rate`.
AudioBuffer joinWithPauses(const QList<AudioBuffer>& parts, const QList<int>& pausesMs, int rate);

} // namespace lyrane
