#pragma once

// The service's four built-in voices, by name and identifier. Header-only, so the offline
// speech service can give each its own sound without linking the client.

#include <cstddef>

namespace lyrane {

struct BuiltInVoice {
    const char* name;
    const char* id;
};

constexpr BuiltInVoice kBuiltInVoices[] = {
    {"Miravel", "EXAVITQu4vr4xnSDxMaL"},
    {"Dostan", "pNInz6obpgDQGcFmaJgB"},
    {"Brenn", "21m00Tcm4TlvDq8ikWAM"},
    {"Ottaline", "ErXwobaYiN019PkySvjV"},
};

constexpr std::size_t kBuiltInVoiceCount = sizeof(kBuiltInVoices) / sizeof(kBuiltInVoices[0]);

} // namespace lyrane
