#pragma once

namespace lyrane {

// WebVTT is read by its standard's strict rules; SRT as subtitle editors write it, which is
// looser in its timestamps and stricter about what counts as a tag.
enum class CueDialect { WebVtt, Srt };

} // namespace lyrane
