#pragma once

#include "cache/cache_manager.h"
#include "cache/s3_claims.h"
#include "cache/s3_objects.h"
#include "cache/take_record_store.h"
#include "runs/narration_outcome.h"
#include "runs/run_configuration.h"
#include "runs/run_context.h"
#include "synthesis/clip_claims.h"
#include "synthesis/clip_source.h"
#include "synthesis/elevenlabs_client.h"
#include "synthesis/speech_service.h"

#include <QNetworkAccessManager>

#include <memory>

namespace lyrane {

// What the working modes need besides their input: the key, the local cache, the mirror and
// the service, joined into one clip source. Made once per invocation.
struct RunServices {
    // Without `speech`, the service at `apiUrl` with `apiKey`.
    RunServices(const QString& apiKey, const QString& apiUrl, const QString& cacheDirectory,
                const QString& s3Bucket, const S3ClientOptions& s3Client, int timeoutMs,
                std::unique_ptr<SpeechService> speech = nullptr);

    QString apiKey;
    CacheManager cache;
    std::unique_ptr<S3Objects> mirror; // through the client --s3-client chose
    TakeRecordStore takeRecords;
    QNetworkAccessManager network;
    ElevenLabsClient client;
    std::unique_ptr<SpeechService> service;
    ClipSource clips;
    // Claims on clips in the mirror, for a worker of several; empty otherwise.
    std::unique_ptr<S3ClaimStore> claimStore;
    std::unique_ptr<ClipClaims> claims;
};

// Loads the key, then creates the cache directory and the mirror, in that order; nothing, with
// the failure in `failure`, when the run cannot go on.
std::unique_ptr<RunServices> prepareRunServices(const RunConfiguration& config, Console& console,
                                                NarrationOutcome* failure);

} // namespace lyrane
