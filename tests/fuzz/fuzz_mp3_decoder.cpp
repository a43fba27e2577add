// libFuzzer target: any bytes as a cached MP3 clip, through the decoder.

#include "audio/mp3_decoding.h"
#include "fuzz_input_file.h"

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavutil/log.h>
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString path = lyrane::fuzz::writeInputFile(data, size, "mp3");
    QString error;
    const auto clip = lyrane::decodeMp3(path, &error);
    if (!clip && error.isEmpty()) {
        __builtin_trap();
    }
    // The shortest MP3 frame is 24 bytes and the longest holds 1152 samples at 8 kHz.
    if (clip && clip->samples.size() > (qsizetype(size) / 24 + 2) * 6351) {
        __builtin_trap();
    }
    return 0;
}
