// libFuzzer target: any bytes as a cached WAV clip, through the reader and the clip loader.

#include "audio/clip_loading.h"
#include "audio/wav_file.h"
#include "fuzz_input_file.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString path = lyrane::fuzz::writeInputFile(data, size, "wav");
    QString error;
    const auto wav = lyrane::readWav(path, &error);
    if (!wav && error.isEmpty()) {
        __builtin_trap();
    }
    // Samples are bounded by what the file holds plus one second of silence.
    if (wav && (wav->sampleRate < 1 || wav->sampleRate > 768000 ||
                wav->samples.size() > qsizetype(size) / 2 + wav->sampleRate)) {
        __builtin_trap();
    }
    // The loader's own reading of a sound header (other files it would take as legacy PCM and
    // rewrite, which is slow and tested elsewhere).
    if (wav) {
        lyrane::AudioBuffer clip;
        if (!lyrane::loadTrimmedClip(path, clip, &error) ||
            clip.samples.size() > wav->samples.size()) {
            __builtin_trap();
        }
    }
    return 0;
}
