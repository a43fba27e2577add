#include "audio/loudness_preset.h"

#include <array>

namespace lyrane {

std::optional<LoudnessPreset> findLoudnessPreset(const QString& name) {
    // EBU R128, ATSC A/85, the common streaming deliverable, and spoken-word podcasts.
    static const std::array<LoudnessPreset, 4> presets{{
        {QStringLiteral("ebu-r128"), -23.0, -1.0},
        {QStringLiteral("atsc-a85"), -24.0, -2.0},
        {QStringLiteral("streaming"), -24.0, -2.0},
        {QStringLiteral("podcast"), -16.0, -1.0},
    }};
    for (const LoudnessPreset& preset : presets) {
        if (preset.name.compare(name, Qt::CaseInsensitive) == 0) {
            return preset;
        }
    }
    return std::nullopt;
}

} // namespace lyrane
