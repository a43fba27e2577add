#pragma once

#include <QString>

#include <optional>

namespace lyrane {

// What an output file holds, picked by its extension (letter case ignored).
enum class MixedOutputKind { Wav, Mp3, M4a, Video };

// A narration alone: MP3 when the name ends in ".mp3", else WAV.
bool isMp3OutputPath(const QString& path);
// The name a narration alone is written under: ".wav" appended unless it ends in ".wav" or
// ".mp3".
QString narrationOutputPath(const QString& path);

// Over a programme: .wav, .mp3, .m4a, or a video container (.mp4, .mov, .mkv); nothing for
// an extension the mix cannot write.
std::optional<MixedOutputKind> mixedOutputKindForPath(const QString& path);
bool isVideoOutputPath(const QString& path);
// The name a mix is written under: as given for a kind the mix writes, else with ".wav"
// appended, as for a narration alone.
QString mixedOutputPath(const QString& path);

} // namespace lyrane
