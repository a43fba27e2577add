#pragma once

#include "audio/wav_file.h"

#include <QFile>
#include <QList>
#include <QtGlobal>

#include <vector>

namespace lyrane {

// A data chunk's first channel, read from where readWavHeader leaves the file. A short tail
// reads as silence; a header that claims far more than the file holds does not drive the
// allocation.

// As samples, resized in place, so a reused buffer keeps its storage.
void readWavSamples(QFile& file, const WavLayout& layout, QList<double>& samples);
// The same samples as their 16-bit values (resized in place).
void readWavPcm16(QFile& file, const WavLayout& layout, std::vector<qint16>& values);

} // namespace lyrane
