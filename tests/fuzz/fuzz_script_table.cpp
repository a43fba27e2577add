// libFuzzer target: any text through the script table reader, which must fail with a message
// or give cues that end no earlier than they begin.

#include "subtitles/script_table.h"

#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString content =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    lyrane::SubtitleReadingOptions options;
    if (size % 2) {
        options.frameRate = lyrane::FrameRate{30000, 1001};
        options.timecodeOrigin = lyrane::SmpteTimecode{1800, *options.frameRate};
    }
    if (!lyrane::looksLikeScriptTable(content)) {
        return 0;
    }
    QString error;
    const std::optional<lyrane::SubtitleFile> file =
        lyrane::readScriptTable(content, options, QString(), &error);
    if (!file && error.isEmpty()) {
        __builtin_trap();
    }
    for (const lyrane::Cue& cue : file ? file->cues : QList<lyrane::Cue>()) {
        if (cue.startMs < 0 || cue.endMs < cue.startMs || cue.text.isEmpty()) {
            __builtin_trap();
        }
    }
    return 0;
}
