#pragma once

#include "cache/cache_manager.h"
#include "cache/s3_cache.h"
#include "cli/options.h"

#include <optional>

namespace lyrane {

// What both working modes need besides their input: the key, the local cache and the mirror.
struct RunResources {
    QString apiKey;
    CacheManager cache;
    S3Cache mirror;
};

// Loads the key, then creates the cache directory and the mirror, in that order; prints the
// reason and returns nothing when the run cannot go on.
std::optional<RunResources> prepareRunResources(const Config& config);

// The trimmed text of a single-text run, from --say or the --text file; nothing on failure.
std::optional<QString> loadTextToSpeak(const Config& config);

} // namespace lyrane
