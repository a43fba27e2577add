// libFuzzer target: subtitle text of any shape through the parser's public entry.

#include "subtitles/vtt_parser.h"

#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString content =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QString error;
    const auto cues = lyrane::VttParser().parseContent(content, &error);
    if (!cues && error.isEmpty()) {
        __builtin_trap(); // a failure must say why
    }
    return 0;
}
