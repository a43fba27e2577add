#include "cli/options.h"

#include "cli/text_file.h"
#include "runs/console.h"
#include "runs/voice_map.h"
#include "subtitles/caption_writer.h"
#include "subtitles/speakers.h"
#include "subtitles/text_decoding.h"
#include "synthesis/cost_estimate.h"
#include "synthesis/elevenlabs_client.h"
#include "synthesis/output_formats.h"
#include "synthesis/voice_settings.h"

#include "audio/programme_mix.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QObject>
#include <QRegularExpression>

#include <cmath>
#include <limits>
#include <tuple>

namespace lyrane {

namespace {

constexpr qint64 kMaxPaddingMs = 24LL * 60 * 60 * 1000;
constexpr int kMaxJobs = 16;
constexpr int kMaxRetries = 10;
constexpr double kMaxDuckDb = 60.0;
constexpr int kMaxDuckRampMs = 10000;

QString environmentText(const char* name) {
    return QString::fromUtf8(qgetenv(name)).trimmed();
}

} // namespace

Environment readEnvironment() {
    Environment environment;
    environment.apiKey = QString::fromUtf8(qgetenv("ELEVENLABS_API_KEY"));
    environment.apiUrl = environmentText("LYRANE_API_URL");
    environment.format = environmentText("LYRANE_FORMAT");
    environment.defaultVoice = environmentText("LYRANE_DEFAULT_VOICE");
    if (qEnvironmentVariableIsSet("LYRANE_MODEL")) {
        environment.model = environmentText("LYRANE_MODEL");
    }
    environment.s3Bucket = environmentText("LYRANE_S3_BUCKET");
    return environment;
}

namespace {

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
    QCommandLineOption batch{QStringLiteral("batch"),
                             QObject::tr("Process multiple VTT files (comma-separated paths)"),
                             QStringLiteral("files")};
    QCommandLineOption s3Bucket;
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

    explicit OptionTable(const Environment& environment)
        : voice({QStringLiteral("d"), QStringLiteral("voice")},
                QObject::tr("Voice name (Miravel, Dostan, Brenn, Ottaline) or ElevenLabs voice ID"),
                QStringLiteral("name"), defaultVoice(environment)),
          s3Bucket({QStringLiteral("s"), QStringLiteral("s3-bucket")},
                   QObject::tr("S3 bucket for caching audio segments (defaults to "
                               "LYRANE_S3_BUCKET; requires aws CLI)"),
                   QStringLiteral("bucket"), environment.s3Bucket),
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

    QList<QCommandLineOption> all() const {
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
                audioLanguage, audioTitle};
    }
};

std::optional<int> fail(const QString& message) {
    printError(message);
    return 1;
}

// The command line's raw values, before validation settles the mode.
struct RawArguments {
    QString vttFile;
    QString sayText;
    QString textFile;
    QString batchFiles;
    bool cacheOnly = false;
    bool listVoices = false;
};

QStringList splitBatchFiles(const QString& list) {
    QStringList files;
    for (const QString& entry : list.split(QLatin1Char(','))) {
        const QString file = entry.trimmed();
        if (!file.isEmpty()) {
            files.append(file);
        }
    }
    return files;
}

// --mix-with and its companions: the numbers, checked with the other numbers.
std::optional<int> validateProgrammeMixNumbers(const QCommandLineParser& parser,
                                               const OptionTable& options,
                                               ProgrammeMixSettings* mix) {
    bool ok = false;
    mix->programmePath = parser.value(options.mixWith);
    mix->audioStream = parser.value(options.mixStream).toInt(&ok);
    if (!ok || mix->audioStream < 0) {
        return fail(QObject::tr("--mix-stream must be zero or positive\n"));
    }
    mix->duckDb = parser.value(options.duck).toDouble(&ok);
    if (!ok || !(mix->duckDb >= 0 && mix->duckDb <= kMaxDuckDb)) {
        return fail(QObject::tr("--duck must be between 0 and 60\n"));
    }
    for (const auto& [option, target, message] :
         {std::tuple{&options.duckAttack, &mix->duckAttackMs,
                     QObject::tr("--duck-attack must be between 0 and 10000\n")},
          std::tuple{&options.duckRelease, &mix->duckReleaseMs,
                     QObject::tr("--duck-release must be between 0 and 10000\n")}}) {
        *target = parser.value(*option).toInt(&ok);
        if (!ok || *target < 0 || *target > kMaxDuckRampMs) {
            return fail(message);
        }
    }
    mix->keepOriginalAudio = parser.isSet(options.keepOriginalAudio);
    mix->audioLanguage = parser.value(options.audioLanguage);
    static const QRegularExpression languageCode(QStringLiteral("^[a-z]{3}$"));
    if (parser.isSet(options.audioLanguage) && !languageCode.match(mix->audioLanguage).hasMatch()) {
        return fail(
            QObject::tr("--audio-language must be a three-letter ISO 639-2 code such as eng\n"));
    }
    mix->audioTitle = parser.value(options.audioTitle);
    return std::nullopt;
}

// --mix-with and its companions: how they combine with the run and its output.
std::optional<int> validateProgrammeMixUse(const QCommandLineParser& parser,
                                           const OptionTable& options,
                                           const RunConfiguration& config) {
    const ProgrammeMixSettings& mix = config.timeline.programme;
    if (mix.programmePath.isEmpty()) {
        for (const QCommandLineOption* companion :
             {&options.mixStream, &options.duck, &options.duckAttack, &options.duckRelease,
              &options.keepOriginalAudio, &options.audioLanguage, &options.audioTitle}) {
            if (parser.isSet(*companion)) {
                return fail(QObject::tr("--%1 needs --mix-with\n").arg(companion->names().first()));
            }
        }
        if (isVideoOutputPath(config.outputFile)) {
            return fail(QObject::tr("a video output (.mp4, .mov, .mkv) needs --mix-with to take "
                                    "the pictures from\n"));
        }
        return std::nullopt;
    }
    if (config.mode != RunMode::Subtitles) {
        return fail(QObject::tr("--mix-with is only supported with --vtt\n"));
    }
    if (mix.keepOriginalAudio && !isVideoOutputPath(config.outputFile)) {
        return fail(QObject::tr("--keep-original-audio needs an .mp4, .mov or .mkv output\n"));
    }
    return std::nullopt;
}

// The checks that must pass before any work starts, in the order users see them reported.
std::optional<int> validate(const QCommandLineParser& parser, const OptionTable& options,
                            const RawArguments& raw, const Environment& environment,
                            RunConfiguration* config) {
    if (parser.isSet(options.previousText) && parser.isSet(options.previousTextFile)) {
        return fail(
            QObject::tr("only one of --previous-text or --previous-text-file may be provided\n"));
    }
    if (parser.isSet(options.nextText) && parser.isSet(options.nextTextFile)) {
        return fail(QObject::tr("only one of --next-text or --next-text-file may be provided\n"));
    }
    for (const auto& [option, target] :
         {std::pair{&options.previousTextFile, &config->single.previousText},
          std::pair{&options.nextTextFile, &config->single.nextText}}) {
        if (!parser.isSet(*option)) {
            continue;
        }
        QString error;
        *target = readUtf8TextFile(parser.value(*option), &error);
        if (!error.isEmpty()) {
            return fail(error + QLatin1Char('\n'));
        }
    }

    bool ok = false;
    config->limit = parser.value(options.limit).toInt(&ok);
    if (!ok || config->limit < 0) {
        return fail(QObject::tr("--limit must be zero or positive\n"));
    }
    SynthesisSettings& synthesis = config->synthesis;
    synthesis.speed = parser.value(options.speed).toDouble(&ok);
    if (!ok || !(synthesis.speed >= 0.7 && synthesis.speed <= 1.2)) {
        return fail(QObject::tr("--speed must be between 0.7 and 1.2\n"));
    }
    // Sent as given: the service reads the name without regard to case.
    if (!parseOutputFormat(synthesis.outputFormat)) {
        return fail(outputFormatRefusal());
    }
    const std::optional<int> padding = parseDurationMs(parser.value(options.padding));
    if (!padding) {
        return fail(QObject::tr("--padding must be a duration such as 500ms, 5s or 1m30s\n"));
    }
    config->timeline.paddingMs = *padding;
    synthesis.jobs = parser.value(options.jobs).toInt(&ok);
    if (!ok || synthesis.jobs < 1 || synthesis.jobs > kMaxJobs) {
        return fail(QObject::tr("--jobs must be between 1 and 16\n"));
    }
    synthesis.retries = parser.value(options.retries).toInt(&ok);
    if (!ok || synthesis.retries < 0 || synthesis.retries > kMaxRetries) {
        return fail(QObject::tr("--retries must be between 0 and 10\n"));
    }
    const double timeoutSeconds = parser.value(options.timeout).toDouble(&ok);
    if (!ok || !std::isfinite(timeoutSeconds) || timeoutSeconds < 0) {
        return fail(QObject::tr("--timeout must be zero or positive\n"));
    }
    // Anything beyond what a millisecond int holds is as good as no limit.
    const double timeoutMs = std::ceil(timeoutSeconds * 1000.0);
    synthesis.timeoutMs =
        timeoutMs > std::numeric_limits<int>::max() ? 0 : static_cast<int>(timeoutMs);
    if (parser.isSet(options.encoding)) {
        config->encoding = parser.value(options.encoding);
        if (!isKnownTextEncoding(config->encoding)) {
            return fail(QObject::tr("--encoding must name a character encoding known to the "
                                    "system, such as windows-1252\n"));
        }
    }
    if (parser.isSet(options.loudness)) {
        const double lufs = parser.value(options.loudness).toDouble(&ok);
        if (!ok || !(lufs >= -70.0 && lufs <= -5.0)) {
            return fail(QObject::tr("--loudness must be between -70 and -5\n"));
        }
        config->timeline.loudnessLufs = lufs;
    }
    config->timeline.truePeakDbtp = parser.value(options.truePeak).toDouble(&ok);
    if (!ok || !(config->timeline.truePeakDbtp >= -20.0 && config->timeline.truePeakDbtp <= 0.0)) {
        return fail(QObject::tr("--true-peak must be between -20 and 0\n"));
    }
    if (parser.isSet(options.truePeak) && !config->timeline.loudnessLufs) {
        return fail(QObject::tr("--true-peak is only supported with --loudness\n"));
    }

    if (std::optional<int> status =
            validateProgrammeMixNumbers(parser, options, &config->timeline.programme)) {
        return status;
    }

    if (parser.isSet(options.voices)) {
        QString error;
        std::optional<VoiceMap> map = VoiceMap::parse(parser.value(options.voices), &error);
        if (!map) {
            return fail(error);
        }
        config->speakers.voices = std::move(*map);
    }
    const std::optional<SpeakerLabels> labels =
        parseSpeakerLabels(parser.value(options.speakerLabels));
    if (!labels) {
        return fail(QObject::tr("--speaker-labels must be on or off\n"));
    }
    config->speakers.labels = *labels;
    VoiceSettingArguments settingArguments;
    const auto optionalValue = [&parser](const QCommandLineOption& option) {
        return parser.isSet(option) ? std::optional<QString>(parser.value(option)) : std::nullopt;
    };
    settingArguments.model = optionalValue(options.model);
    settingArguments.modelEnvironment = environment.model;
    settingArguments.language = optionalValue(options.language);
    settingArguments.stability = optionalValue(options.stability);
    settingArguments.similarity = optionalValue(options.similarity);
    settingArguments.style = optionalValue(options.style);
    settingArguments.seed = optionalValue(options.seed);
    settingArguments.speakerBoost = parser.isSet(options.speakerBoost);
    QString settingsError;
    QString settingsWarning;
    std::optional<VoiceSettings> voiceSettings =
        parseVoiceSettings(settingArguments, &settingsError, &settingsWarning);
    if (!voiceSettings) {
        return fail(settingsError);
    }
    if (!settingsWarning.isEmpty()) {
        printError(settingsWarning);
    }
    synthesis.voiceSettings = std::move(*voiceSettings);

    if (parser.isSet(options.maxCredits)) {
        QString error;
        config->maxCredits = parseMaxCredits(parser.value(options.maxCredits), &error);
        if (!config->maxCredits) {
            return fail(error);
        }
    }
    if (!config->captionsFile.isEmpty() && !captionFormatForPath(config->captionsFile)) {
        return fail(QObject::tr("--captions-out must name a .vtt or .srt file\n"));
    }

    // Printing the cache directory needs nothing else, whatever other options say.
    if (raw.cacheOnly) {
        config->mode = RunMode::PrintCacheDirectory;
        return std::nullopt;
    }
    // Listing the account's voices needs only the key.
    if (raw.listVoices) {
        config->mode = RunMode::ListVoices;
        return std::nullopt;
    }

    const int modes = int(!raw.vttFile.isEmpty()) + int(!raw.sayText.isEmpty()) +
                      int(!raw.textFile.isEmpty()) + int(!raw.batchFiles.isEmpty());
    if (modes == 0) {
        return fail(QObject::tr("one of --vtt, --say, --text, or --batch must be provided\n"));
    }
    if (modes > 1) {
        return fail(QObject::tr("only one of --vtt, --say, --text, or --batch may be provided\n"));
    }
    const bool singleText = !raw.sayText.isEmpty() || !raw.textFile.isEmpty();
    if ((!config->single.previousText.isEmpty() || !config->single.nextText.isEmpty()) &&
        !singleText) {
        return fail(QObject::tr(
            "--previous-text and --next-text are only supported with --say or --text\n"));
    }
    if (config->outputFile.isEmpty()) {
        return fail(QObject::tr("--output flag is required\n"));
    }
    if (singleText) {
        config->mode = RunMode::SingleText;
        config->single.text = raw.sayText;
        config->single.textFile = raw.textFile;
    } else if (!raw.vttFile.isEmpty()) {
        config->mode = RunMode::Subtitles;
        config->subtitleFile = raw.vttFile;
    } else {
        config->mode = RunMode::Batch;
        config->batchFiles = splitBatchFiles(raw.batchFiles);
    }
    // Captions follow one subtitle file's timeline.
    if (!config->captionsFile.isEmpty() && config->mode != RunMode::Subtitles) {
        return fail(QObject::tr("--captions-out is only supported with --vtt\n"));
    }
    return validateProgrammeMixUse(parser, options, *config);
}

} // namespace

std::optional<int> parseDurationMs(const QString& text) {
    static const QRegularExpression group(QStringLiteral("(\\d+(?:\\.\\d+)?)(ms|s|m|h)"),
                                          QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression bareNumber(QStringLiteral("^\\d+(?:\\.\\d+)?$"));

    double totalMs = 0.0;
    if (bareNumber.match(text).hasMatch()) {
        totalMs = text.toDouble() * 1000.0;
    } else {
        qsizetype position = 0;
        auto it = group.globalMatch(text);
        if (!it.hasNext()) {
            return std::nullopt;
        }
        while (it.hasNext()) {
            const QRegularExpressionMatch match = it.next();
            if (match.capturedStart() != position) {
                return std::nullopt;
            }
            position = match.capturedEnd();
            const QString unit = match.captured(2).toLower();
            const double scale = unit == QLatin1String("ms")  ? 1.0
                                 : unit == QLatin1String("s") ? 1000.0
                                 : unit == QLatin1String("m") ? 60000.0
                                                              : 3600000.0;
            totalMs += match.captured(1).toDouble() * scale;
        }
        if (position != text.size()) {
            return std::nullopt;
        }
    }
    if (!std::isfinite(totalMs) || totalMs < 0 || totalMs > double(kMaxPaddingMs)) {
        return std::nullopt;
    }
    return static_cast<int>(std::llround(totalMs));
}

std::optional<int> parseCommandLine(const QStringList& arguments, const Environment& environment,
                                    RunConfiguration* config) {
    const OptionTable options(environment);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QObject::tr("Convert VTT subtitles to speech using ElevenLabs"));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addOptions(options.all());

    // The parser's own answers, as QCommandLineParser::process gives them, without its exit().
    if (!parser.parse(arguments)) {
        printError(QCoreApplication::applicationName() + QLatin1String(": ") + parser.errorText() +
                   QLatin1Char('\n'));
        return 1;
    }
    if (parser.isSet(versionOption)) {
        printOutput(QCoreApplication::applicationName() + QLatin1Char(' ') +
                    QCoreApplication::applicationVersion() + QLatin1Char('\n'));
        return 0;
    }
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        printOutput(parser.helpText());
        return 0;
    }

    RawArguments raw;
    raw.vttFile = parser.value(options.vtt);
    raw.sayText = parser.value(options.say);
    raw.textFile = parser.value(options.text);
    raw.batchFiles = parser.value(options.batch);
    raw.cacheOnly = parser.isSet(options.cacheOnly);
    raw.listVoices = parser.isSet(options.listVoices);

    *config = RunConfiguration();
    config->synthesis.voice = parser.value(options.voice);
    config->synthesis.outputFormat = parser.value(options.format);
    config->apiKeyFile = parser.value(options.keyFile);
    config->cacheDirectory = parser.value(options.tempDir);
    config->outputFile = parser.value(options.output);
    config->timeline.autopad = parser.isSet(options.autopad);
    config->timeline.autospeed = parser.isSet(options.autospeed);
    config->noPadding = parser.isSet(options.noPadding);
    config->dryRun = parser.isSet(options.dryRun);
    config->s3Bucket = parser.value(options.s3Bucket);
    config->single.previousText = parser.value(options.previousText).trimmed();
    config->single.nextText = parser.value(options.nextText).trimmed();
    config->creditCheck = !parser.isSet(options.noCreditCheck);
    config->reportFile = parser.value(options.report);
    config->captionsFile = parser.value(options.captionsOut);

    config->apiKeyFromEnvironment = environment.apiKey;
    config->apiUrl = ElevenLabsClient::serviceAddress(environment.apiUrl);
    return validate(parser, options, raw, environment, config);
}

} // namespace lyrane
