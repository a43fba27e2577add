// libFuzzer target: any text through the DAPT reader, which must fail with a message or give
// cues that the DAPT writer writes and the reader reads back as they were.

#include "subtitles/dapt_reader.h"
#include "subtitles/dapt_writer.h"

#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString content =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    lyrane::SubtitleReadingOptions options;
    if (size % 2) {
        options.frameRate = lyrane::FrameRate{30000, 1001};
        options.timecodeOrigin = lyrane::SmpteTimecode{30, *options.frameRate};
    }
    QString error;
    const std::optional<lyrane::SubtitleFile> file =
        lyrane::readDaptScript(content, options, QString(), &error);
    if (!file) {
        if (error.isEmpty()) {
            __builtin_trap(); // a failure must say why
        }
        return 0;
    }
    lyrane::DaptScript script;
    for (const lyrane::Cue& cue : file->cues) {
        if (cue.startMs < 0 || cue.endMs < cue.startMs || !cue.text.isValidUtf16()) {
            __builtin_trap();
        }
        lyrane::DaptEvent event;
        event.id = QStringLiteral("d%1").arg(script.events.size() + 1);
        event.beginMs = cue.startMs;
        event.endMs = cue.endMs;
        event.text = cue.text;
        script.events.append(event);
    }
    const std::optional<lyrane::SubtitleFile> again = lyrane::readDaptScript(
        QString::fromUtf8(lyrane::daptDocument(script)), {}, QString(), &error);
    if (!again || again->cues.size() != file->cues.size()) {
        __builtin_trap();
    }
    for (qsizetype i = 0; i < file->cues.size(); ++i) {
        const lyrane::Cue& before = file->cues[i];
        const lyrane::Cue& after = again->cues[i];
        if (before.startMs != after.startMs || before.endMs != after.endMs ||
            before.text != after.text) {
            __builtin_trap();
        }
    }
    return 0;
}
