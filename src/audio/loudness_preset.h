#pragma once

#include <QString>

#include <optional>

namespace lyrane {

// A delivery standard's loudness target and true-peak ceiling.
struct LoudnessPreset {
    QString name;
    double targetLufs = 0.0;
    double truePeakDbtp = 0.0;
};

// The preset of this name (ebu-r128, atsc-a85, streaming, podcast; letter case ignored).
std::optional<LoudnessPreset> findLoudnessPreset(const QString& name);

} // namespace lyrane
