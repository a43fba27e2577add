#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

#include <vector>

namespace lyrane {

// A WAV clip held as the 16-bit values of its first channel: what most of a narration's clips
// are, measured and mixed without first being made into samples.
struct Pcm16Clip {
    std::vector<qint16> values;
    int sampleRate = 0;
};

// Loads a 16-bit PCM WAV clip and drops its silent tail as loadTrimmedClip does, reusing the
// clip's storage. False, with `clip` undefined, when the file is not one (another suffix, a
// damaged header, a headerless clip of an early version): loadTrimmedClip then reads it or
// names its fault.
bool loadTrimmedPcm16Clip(const QString& path, Pcm16Clip& clip);

// The clip's samples (value / 32768) into `samples`, reusing its storage.
void pcm16ToSamples(const Pcm16Clip& clip, QList<double>& samples);

} // namespace lyrane
