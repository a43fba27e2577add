#pragma once

#include "runs/run_configuration.h"

#include <QCommandLineOption>
#include <QDir>
#include <QList>
#include <QObject>

namespace lyrane {

// The option table, in the order the help lists it.
struct OptionTable {
    QCommandLineOption vtt{QStringLiteral("vtt"),
                           QObject::tr("Subtitle file to process (WebVTT or SRT)"),
                           QStringLiteral("file")};
    QCommandLineOption say{QStringLiteral("say"),
                           QObject::tr("Text to speak instead of providing a VTT file"),
                           QStringLiteral("text")};
    QCommandLineOption text{QStringLiteral("text"),
                            QObject::tr("Plain text file to speak instead of providing a VTT file"),
                            QStringLiteral("file")};
    QCommandLineOption voice;
    QCommandLineOption keyFile{
        {QStringLiteral("k"), QStringLiteral("key-file")},
        QObject::tr("File containing ElevenLabs API key"),
        QStringLiteral("file"),
        QDir(QDir::homePath()).filePath(QStringLiteral(".elevenlabs-api-key"))};
    QCommandLineOption tempDir{{QStringLiteral("t"), QStringLiteral("temp-dir")},
                               QObject::tr("Temporary directory for audio segments"),
                               QStringLiteral("dir"),
                               QDir(QDir::tempPath()).filePath(QStringLiteral("lyrane-audio"))};
    QCommandLineOption limit{{QStringLiteral("l"), QStringLiteral("limit")},
                             QObject::tr("Limit number of segments to process (0 for unlimited)"),
                             QStringLiteral("count"),
                             QStringLiteral("0")};
    QCommandLineOption padding{
        {QStringLiteral("p"), QStringLiteral("padding")},
        QObject::tr("Extra padding to add to the end of the output audio (e.g. '5s', '1m')"),
        QStringLiteral("duration"),
        QStringLiteral("0")};
    QCommandLineOption autopad{
        {QStringLiteral("a"), QStringLiteral("autopad")},
        QObject::tr(
            "Automatically calculate and add sufficient padding to fit all audio segments")};
    QCommandLineOption autospeed{QStringLiteral("autospeed"),
                                 QObject::tr("Automatically speed up segments that are too long")};
    QCommandLineOption speed{{QStringLiteral("S"), QStringLiteral("speed")},
                             QObject::tr("Default speed for all segments (range: 0.7-1.2)"),
                             QStringLiteral("value"),
                             QStringLiteral("1.0")};
    QCommandLineOption output{{QStringLiteral("o"), QStringLiteral("output")},
                              QObject::tr("Output audio file"),
                              QStringLiteral("file"),
                              QStringLiteral("output.wav")};
    QCommandLineOption dryRun{{QStringLiteral("n"), QStringLiteral("dry-run")},
                              QObject::tr("Display segments information without processing")};
    QCommandLineOption noPadding{
        QStringLiteral("no-padding"),
        QObject::tr("Skip mixing and only generate individual segment files")};
    QCommandLineOption cacheOnly{QStringLiteral("cache-only"),
                                 QObject::tr("Print cache directory path and exit")};
    QCommandLineOption batch{
        QStringLiteral("batch"),
        QObject::tr("Process multiple VTT files (comma-separated paths, or @FILE with one a line)"),
        QStringLiteral("files")};
    QCommandLineOption s3Bucket;
    QCommandLineOption s3Client;
    QCommandLineOption s3EndpointStyle{
        QStringLiteral("s3-endpoint-style"),
        QObject::tr("Where the http S3 client names the bucket: in the path or the host name "
                    "(default: path for an endpoint given by address or localhost)"),
        QStringLiteral("path|virtual")};
    QCommandLineOption format;
    QCommandLineOption previousText{
        QStringLiteral("previous-text"),
        QObject::tr("Previous segment text to send as ElevenLabs context for --say/--text"),
        QStringLiteral("text")};
    QCommandLineOption previousTextFile{
        QStringLiteral("previous-text-file"),
        QObject::tr("File containing previous segment text for ElevenLabs context"),
        QStringLiteral("file")};
    QCommandLineOption nextText{
        QStringLiteral("next-text"),
        QObject::tr("Next segment text to send as ElevenLabs context for --say/--text"),
        QStringLiteral("text")};
    QCommandLineOption nextTextFile{
        QStringLiteral("next-text-file"),
        QObject::tr("File containing next segment text for ElevenLabs context"),
        QStringLiteral("file")};
    QCommandLineOption jobs{{QStringLiteral("j"), QStringLiteral("jobs")},
                            QObject::tr("Number of segments to work on at once (1-16)"),
                            QStringLiteral("count"),
                            QStringLiteral("1")};
    QCommandLineOption retries{
        QStringLiteral("retries"),
        QObject::tr("Retries of a synthesis request after a transient failure (0-10)"),
        QStringLiteral("count"), QStringLiteral("3")};
    QCommandLineOption timeout{
        QStringLiteral("timeout"),
        QObject::tr("Seconds without progress before a request or aws call fails (0 for none)"),
        QStringLiteral("seconds"), QStringLiteral("0")};
    QCommandLineOption encoding{
        QStringLiteral("encoding"),
        QObject::tr("Character encoding of subtitle files without a byte-order mark (default "
                    "UTF-8; e.g. windows-1252, iso-8859-6)"),
        QStringLiteral("name")};
    QCommandLineOption noCreditCheck{
        QStringLiteral("no-credit-check"),
        QObject::tr("Do not read the account's credits before synthesizing")};
    QCommandLineOption maxCredits{
        QStringLiteral("max-credits"),
        QObject::tr("Refuse to start a run (or batch) estimated to cost more credits than this"),
        QStringLiteral("count")};
    QCommandLineOption report{
        QStringLiteral("report"),
        QObject::tr("Write a JSON record of the run (settings, every cue, totals) to this file"),
        QStringLiteral("file")};
    QCommandLineOption captionsOut{
        QStringLiteral("captions-out"),
        QObject::tr("Write the cues retimed to where their narration plays (.vtt or .srt)"),
        QStringLiteral("file")};
    QCommandLineOption voices{
        QStringLiteral("voices"),
        QObject::tr("Voice per speaker: Name=Voice pairs separated by commas, or @FILE with one "
                    "pair a line; other cues use --voice"),
        QStringLiteral("map")};
    QCommandLineOption speakerLabels{
        QStringLiteral("speaker-labels"),
        QObject::tr("Whether a label such as 'ANNA:' or '[Anna]' starting a cue names its "
                    "speaker (on, off)"),
        QStringLiteral("on|off"), QStringLiteral("on")};
    QCommandLineOption model{
        QStringLiteral("model"),
        QObject::tr("ElevenLabs model (defaults to LYRANE_MODEL, else eleven_multilingual_v2)"),
        QStringLiteral("id")};
    QCommandLineOption language{
        QStringLiteral("language"),
        QObject::tr("Language code sent with each request (two or three lower-case letters)"),
        QStringLiteral("code")};
    QCommandLineOption stability{QStringLiteral("stability"),
                                 QObject::tr("Voice stability (range: 0-1)"),
                                 QStringLiteral("value")};
    QCommandLineOption similarity{QStringLiteral("similarity"),
                                  QObject::tr("Voice similarity boost (range: 0-1)"),
                                  QStringLiteral("value")};
    QCommandLineOption style{QStringLiteral("style"),
                             QObject::tr("Voice style exaggeration (range: 0-1)"),
                             QStringLiteral("value")};
    QCommandLineOption speakerBoost{QStringLiteral("speaker-boost"),
                                    QObject::tr("Ask the service for speaker boost")};
    QCommandLineOption seed{QStringLiteral("seed"),
                            QObject::tr("Seed for repeatable synthesis (range: 0-4294967295)"),
                            QStringLiteral("number")};
    QCommandLineOption listVoices{
        QStringLiteral("list-voices"),
        QObject::tr("List the voices of the ElevenLabs account and exit")};

    QCommandLineOption loudness{
        QStringLiteral("loudness"),
        QObject::tr("Bring the output to this integrated loudness (-70 to -5 LUFS)"),
        QStringLiteral("LUFS")};
    QCommandLineOption truePeak{
        QStringLiteral("true-peak"),
        QObject::tr("Ceiling on the output's true peak with --loudness (-20 to 0 dBTP)"),
        QStringLiteral("dBTP"), QStringLiteral("-1.0")};

    QCommandLineOption mixWith{
        QStringLiteral("mix-with"),
        QObject::tr("Video or audio file to mix the narration over (the programme)"),
        QStringLiteral("file")};
    QCommandLineOption mixStream{
        QStringLiteral("mix-stream"),
        QObject::tr("Audio stream of the programme to mix over, counted from 0"),
        QStringLiteral("index"), QStringLiteral("0")};
    QCommandLineOption duck{
        QStringLiteral("duck"),
        QObject::tr("Decibels the programme is lowered while narration plays (0 for none)"),
        QStringLiteral("dB"), QStringLiteral("10")};
    QCommandLineOption duckAttack{
        QStringLiteral("duck-attack"),
        QObject::tr("Milliseconds before a clip over which the programme is lowered"),
        QStringLiteral("ms"), QStringLiteral("150")};
    QCommandLineOption duckRelease{
        QStringLiteral("duck-release"),
        QObject::tr("Milliseconds after a clip over which the programme returns"),
        QStringLiteral("ms"), QStringLiteral("400")};
    QCommandLineOption keepOriginalAudio{
        QStringLiteral("keep-original-audio"),
        QObject::tr("Keep the programme's own audio as a second audio track (video output)")};
    QCommandLineOption audioLanguage{
        QStringLiteral("audio-language"),
        QObject::tr("Language of the mixed audio track (ISO 639-2, e.g. eng)"),
        QStringLiteral("code")};
    QCommandLineOption audioTitle{QStringLiteral("audio-title"),
                                  QObject::tr("Title of the mixed audio track"),
                                  QStringLiteral("text"), QStringLiteral("Narration")};

    QCommandLineOption wordTiming{
        QStringLiteral("word-timing"),
        QObject::tr("Ask for each clip's word timing: word captions, words in the report")};
    QCommandLineOption joinSentences{
        QStringLiteral("join-sentences"),
        QObject::tr("Speak a sentence split over cues in one request, cut back at its words")};
    // Audio description: fitting between dialogue, delivery presets and track flags.
    QCommandLineOption loudnessPreset{
        QStringLiteral("loudness-preset"),
        QObject::tr("Loudness target and true-peak ceiling of a delivery standard (ebu-r128, "
                    "atsc-a85, streaming, podcast)"),
        QStringLiteral("name")};
    QCommandLineOption described{
        QStringLiteral("described"),
        QObject::tr("Mark the mixed track as audio description (video or .m4a output)")};
    QCommandLineOption dialogue{
        QStringLiteral("dialogue"),
        QObject::tr("Subtitle file of the programme's dialogue: descriptions are fitted "
                    "between its cues"),
        QStringLiteral("file")};
    QCommandLineOption maxShift{
        QStringLiteral("max-shift"),
        QObject::tr("With --dialogue: how much later than its cue a description may start to "
                    "clear dialogue (0 to 60 s)"),
        QStringLiteral("duration"), QStringLiteral("2s")};
    QCommandLineOption strictFit{
        QStringLiteral("strict-fit"),
        QObject::tr("With --dialogue: fail the run when a description covers dialogue")};
    QCommandLineOption extended{
        QStringLiteral("extended"),
        QObject::tr("With --dialogue and a video --mix-with: pause the programme, its picture "
                    "held, where a description cannot fit the dialogue")};
    QCommandLineOption timeMap{
        QStringLiteral("time-map"),
        QObject::tr("With --extended: write each pause (programme time, duration, output time) "
                    "to this JSON file"),
        QStringLiteral("file")};
    QCommandLineOption lexicon{
        QStringLiteral("lexicon"),
        QObject::tr("Words said another way: a PLS lexicon of aliases, or a table of "
                    "term<TAB>replacement (or term,replacement) lines"),
        QStringLiteral("file")};
    QCommandLineOption pronunciationDictionary{
        QStringLiteral("pronunciation-dictionary"),
        QObject::tr("Pronunciation dictionary of the account to apply, as ID or ID:VERSION "
                    "(up to three, in order)"),
        QStringLiteral("id")};
    QCommandLineOption listDictionaries{
        QStringLiteral("list-dictionaries"),
        QObject::tr("List the pronunciation dictionaries of the ElevenLabs account and exit")};
    QCommandLineOption normalize{
        QStringLiteral("normalize"),
        QObject::tr("Ask the service to spell out numbers and abbreviations (auto, on, off)"),
        QStringLiteral("auto|on|off")};
    QCommandLineOption shard{
        QStringLiteral("shard"),
        QObject::tr("Take only this worker's share of a batch: the files at positions K, K+N, "
                    "... (K from 0 to N-1; also LYRANE_SHARD)"),
        QStringLiteral("K/N")};
    QCommandLineOption shardCount{
        QStringLiteral("shard-count"),
        QObject::tr("Number of shards when the index comes from JOB_COMPLETION_INDEX or "
                    "AWS_BATCH_JOB_ARRAY_INDEX (also LYRANE_SHARD_COUNT)"),
        QStringLiteral("N")};
    QCommandLineOption claimClips{
        QStringLiteral("claim-clips"),
        QObject::tr("Claim each clip in the S3 mirror before synthesizing it, so that runs "
                    "on other machines wait for it instead of paying again")};
    QCommandLineOption mergeReports{
        QStringLiteral("merge-reports"),
        QObject::tr("Join the reports of a batch's shards (comma-separated, or @FILE) into "
                    "--report"),
        QStringLiteral("files")};
    QCommandLineOption retake{
        QStringLiteral("retake"),
        QObject::tr("Ask for a new take of these cues (e.g. 17 or 3,17,23-25; --vtt only)"),
        QStringLiteral("cues")};
    QCommandLineOption take{
        QStringLiteral("take"),
        QObject::tr("Choose an existing take of a cue again (e.g. 17=1 or 17=1,23=3)"),
        QStringLiteral("cue=take")};
    QCommandLineOption review{
        QStringLiteral("review"),
        QObject::tr("Write a review page of the run (timeline, cues, takes, flags) as HTML"),
        QStringLiteral("file")};
    QCommandLineOption progress{
        QStringLiteral("progress"),
        QObject::tr("How progress is shown on a terminal: status (one line) or lines"),
        QStringLiteral("status|lines"), QStringLiteral("status")};

    explicit OptionTable(const Environment& environment)
        : voice({QStringLiteral("d"), QStringLiteral("voice")},
                QObject::tr("Voice name (Miravel, Dostan, Brenn, Ottaline) or ElevenLabs voice ID"),
                QStringLiteral("name"), defaultVoice(environment)),
          s3Bucket({QStringLiteral("s"), QStringLiteral("s3-bucket")},
                   QObject::tr("S3 bucket for caching audio segments (defaults to "
                               "LYRANE_S3_BUCKET; requires aws CLI)"),
                   QStringLiteral("bucket"), environment.s3Bucket),
          s3Client(QStringLiteral("s3-client"),
                   QObject::tr("How the S3 mirror is reached: aws (an aws CLI call per object) or "
                               "http (from lyrane, credentials from the aws CLI; also "
                               "LYRANE_S3_CLIENT)"),
                   QStringLiteral("aws|http"),
                   environment.s3Client.isEmpty() ? QStringLiteral("aws") : environment.s3Client),
          format({QStringLiteral("f"), QStringLiteral("format")},
                 QObject::tr("Output format for ElevenLabs API (pcm_44100, pcm_24000, "
                             "mp3_44100_128, wav_24000, ...; defaults to LYRANE_FORMAT)"),
                 QStringLiteral("format"), defaultFormat(environment)) {}

    // For accounts whose plan refuses the default PCM format.
    static QString defaultFormat(const Environment& environment) {
        return environment.format.isEmpty() ? QStringLiteral("pcm_44100") : environment.format;
    }

    static QString defaultVoice(const Environment& environment) {
        return environment.defaultVoice.isEmpty() ? QStringLiteral("Brenn")
                                                  : environment.defaultVoice;
    }

    // Listed in the help after all().
    QList<QCommandLineOption> descriptionOptions() const {
        return {loudnessPreset, described, dialogue, maxShift, strictFit, extended, timeMap};
    }

    QList<QCommandLineOption> all() const {
        // clang-format off
        return {vtt,           say,          text,          voice,
                keyFile,       tempDir,      limit,         padding,
                autopad,       autospeed,    speed,         output,
                dryRun,        noPadding,    cacheOnly,     batch,
                s3Bucket,      format,       previousText,  previousTextFile,
                nextText,      nextTextFile, jobs,          retries,
                timeout,       encoding,     noCreditCheck, maxCredits,
                report,        captionsOut,  voices,        speakerLabels,
                model,         language,     stability,     similarity,
                style,         speakerBoost, seed,          listVoices,
                loudness,      truePeak,     mixWith,       mixStream,
                duck,          duckAttack,   duckRelease,   keepOriginalAudio,
                audioLanguage, audioTitle,   wordTiming,    joinSentences,
                lexicon,       pronunciationDictionary, listDictionaries, normalize,
                shard,         shardCount,   claimClips,    mergeReports,
                retake,        take,         review,        progress,
                s3Client,      s3EndpointStyle};
        // clang-format on
    }
};

} // namespace lyrane
