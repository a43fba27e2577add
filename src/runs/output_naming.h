#pragma once

#include <QString>

namespace lyrane {

// The file a run writes and its kind: MP3 when the name ends in ".mp3" (any case), else WAV,
// with ".wav" added when the name does not already end in it.
struct OutputTarget {
    QString path;
    bool mp3 = false;
};

OutputTarget outputTarget(const QString& outputOption);

// The batch output for one input: beside it, named after it, .mp3 or .wav after `--output`.
QString batchOutputPath(const QString& inputFile, const QString& outputOption);

} // namespace lyrane
