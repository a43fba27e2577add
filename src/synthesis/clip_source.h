#pragma once

#include "cache/cache_manager.h"
#include "cache/clip_mirror.h"
#include "synthesis/elevenlabs_client.h"
#include "synthesis/speech_service.h"
#include "synthesis/synthesis_settings.h"
#include "synthesis/word_alignment.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace lyrane {

class ClipClaims;

// Where a clip came from.
enum class ClipTier { Cache, Mirror, Service };

// One clip to bring into the local cache: the request and the names its clip goes by.
struct ClipJob {
    TtsRequest request;
    QString voiceName;   // as the user gave it, for progress lines
    QString key;         // content key of the request
    QString extension;   // ".wav" or ".mp3", after the output format
    QString path;        // the clip in the local cache
    QString objectKey;   // its name in the mirror; empty without one
    QString contentType; // sent with an upload
    // With timestamps: when each character is spoken, beside the clip and under its key. A
    // job that asks for it has a clip without one requested again.
    QString alignmentPath;
    QString alignmentObjectKey;

    // Cues whose jobs share this name share one clip.
    QString cacheFile() const { return key + extension; }
    bool wantsAlignment() const { return request.withTimestamps; }
};

// The request for one text with its neighbours as context, in the settings' voice, format
// and speed: the one place a request is assembled.
TtsRequest makeRequest(const SynthesisSettings& settings, const QString& text,
                       const QString& previousText, const QString& nextText);
// The same in `voice` (a built-in name or an identifier) instead of the settings' voice.
TtsRequest makeRequest(const SynthesisSettings& settings, const QString& voice, const QString& text,
                       const QString& previousText, const QString& nextText);

// The seed sent for take `take` (2 or more): from the take number and the run's --seed, so a
// take asked for again is the same request.
quint32 takeSeed(int take, std::optional<quint32> seed);

// The tiers a clip is looked for in, in order: the local cache, the mirror (optional), the
// speech service. The scheduler walks them; this holds them and the format policy.
class ClipSource {
public:
    ClipSource(const CacheManager& cache, const ClipMirror* mirror, SpeechService& service)
        : cache(cache), mirror(mirror), service(service) {}

    // Names the clip of `request`: cache key, file, object key and content type.
    ClipJob job(const TtsRequest& request, const QString& voiceName) const;
    // Take `take` of that clip: take 1 is the clip above; a later take is keyed by take 1's
    // recipe and its number, and asks with that take's seed, so the service reads it anew.
    ClipJob job(const TtsRequest& request, const QString& voiceName, int take) const;

    // The names of what is made from clips, all here so that a name is made in one place:
    // A cue said in parts plays the clip joined from `parts` with `pausesMs` around them. It is
    // kept beside its parts (and mirrored as any clip) under a key of the parts' keys and the
    // pauses, so a cue whose parts and pauses stay the same finds it again; joined as 16-bit
    // WAV whatever the parts came as.
    ClipJob joinedJob(const ClipJob& cueJob, const QList<ClipJob>& parts,
                      const QList<int>& pausesMs) const;
    // Part `part` (from 1) of the `parts` cues whose sentence `joined` speaks: its clip and its
    // share of the alignment beside the sentence's clip, asking for `text`.
    ClipJob sentencePartJob(const ClipJob& joined, int part, int parts, const QString& text) const;
    // The record of which take of `first`'s clip (take 1's) a cue plays, beside that clip.
    static QString takeRecordPath(const ClipJob& first);

    bool hasMirror() const { return mirror != nullptr; }
    const ClipMirror& clipMirror() const { return *mirror; }
    SpeechService& speechService() const { return service; }
    // Claims on clips in the mirror, for runs that are one worker of several; nullptr without.
    void setClaims(ClipClaims* claims) { clipClaims = claims; }
    ClipClaims* claims() const { return clipClaims; }

    bool isCached(const ClipJob& job) const;
    // Checks a clip in the local cache before use (upgrading a legacy raw-PCM clip).
    bool checkCached(const ClipJob& job, QString* error) const;
    // Renames an unusable clip out of the way (never deleting it) to `<clip>.unusable`, or
    // `<clip>.unusable-N` when that is taken; false when it cannot be moved.
    bool setAside(const ClipJob& job, QString* asidePath) const;
    // Stores the service's bytes as the job's clip, and the alignment beside it when given;
    // an alignment that runs past the audio stores nothing.
    bool store(const ClipJob& job, const QByteArray& audio, QString* error,
               const WordAlignment* alignment = nullptr) const;
    // Whether the job's alignment is in the local cache, reads back whole and fits its clip
    // (the clip in the cache).
    bool hasUsableAlignment(const ClipJob& job, QString* error) const;
    // Renames an alignment that is not usable out of the way (`<alignment>.unusable`), so the
    // clip is asked for again with a new one.
    bool setAlignmentAside(const ClipJob& job) const;

private:
    const CacheManager& cache;
    const ClipMirror* mirror;
    SpeechService& service;
    ClipClaims* clipClaims = nullptr;
};

} // namespace lyrane
