#include "cli/options.h"

#include "cli/batch_selection.h"
#include "cli/description_options.h"
#include "cli/option_rules.h"
#include "cli/option_table.h"
#include "cli/s3_client_options.h"
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
    environment.s3Client = environmentText("LYRANE_S3_CLIENT");
    environment.shard = environmentText("LYRANE_SHARD");
    environment.shardCount = environmentText("LYRANE_SHARD_COUNT");
    environment.jobCompletionIndex = environmentText("JOB_COMPLETION_INDEX");
    environment.arrayJobIndex = environmentText("AWS_BATCH_JOB_ARRAY_INDEX");
    return environment;
}

namespace {

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
    bool listDictionaries = false;
    ShardOptions shard;
    QString mergeReports;
};

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

// --merge-reports: a mode of its own, writing only the joined report.
std::optional<int> validateReportMerge(const RawArguments& raw, int modes,
                                       RunConfiguration* config) {
    if (modes > 0) {
        return fail(QObject::tr("--merge-reports takes no --vtt, --say, --text or --batch\n"));
    }
    if (config->reportFile.isEmpty()) {
        return fail(QObject::tr("--merge-reports needs --report to write the joined report to\n"));
    }
    QString error;
    const std::optional<QStringList> reports = readFileList(raw.mergeReports, &error);
    if (!reports) {
        return fail(error);
    }
    config->mode = RunMode::MergeReports;
    config->mergeReports = *reports;
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

    if (const std::optional<QString> refusal =
            applyOptionRules(optionRules(options, parser, environment), parser, config)) {
        return fail(*refusal);
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
    if (raw.listDictionaries) {
        config->mode = RunMode::ListDictionaries;
        return std::nullopt;
    }

    const int modes = int(!raw.vttFile.isEmpty()) + int(!raw.sayText.isEmpty()) +
                      int(!raw.textFile.isEmpty()) + int(!raw.batchFiles.isEmpty());
    if (!raw.mergeReports.isEmpty()) {
        return validateReportMerge(raw, modes, config);
    }
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
        if (const std::optional<QString> refusal =
                selectBatchFiles(raw.batchFiles, raw.shard, environment, config)) {
            return fail(*refusal);
        }
    }
    if (config->mode != RunMode::Batch) {
        if (const std::optional<QString> refusal =
                refuseShardWithoutBatch(raw.shard, environment)) {
            return fail(*refusal);
        }
    }
    if (config->claimClips && config->s3Bucket.trimmed().isEmpty()) {
        return fail(QObject::tr("--claim-clips needs --s3-bucket (or LYRANE_S3_BUCKET)\n"));
    }
    if (const std::optional<QString> refusal =
            readS3ClientOptions(parser.value(options.s3Client), parser.isSet(options.s3Client),
                                parser.value(options.s3EndpointStyle), &config->s3Client)) {
        return fail(*refusal);
    }
    // Captions follow one subtitle file's timeline.
    if (!config->captionsFile.isEmpty() && config->mode != RunMode::Subtitles) {
        return fail(QObject::tr("--captions-out is only supported with --vtt\n"));
    }
    // Takes belong to the cues of one subtitle file; the review page shows one.
    if (!config->takes.isEmpty() && config->mode != RunMode::Subtitles) {
        return fail(QObject::tr("--retake and --take are only supported with --vtt\n"));
    }
    if (!config->reviewFile.isEmpty() && config->mode != RunMode::Subtitles) {
        return fail(QObject::tr("--review is only supported with --vtt\n"));
    }
    if (const std::optional<int> refused = validateProgrammeMixUse(parser, options, *config)) {
        return refused;
    }
    if (const std::optional<QString> refusal = takeDescriptionOptions(parser, options, config)) {
        return fail(*refusal);
    }
    return std::nullopt;
}

} // namespace

std::optional<int> parseDurationMs(const QString& text) {
    // Units by their ASCII letters in any case, digits ASCII only: a case-blind match would take
    // letters such as the long s for an "s".
    static const QRegularExpression group(
        QStringLiteral("([0-9]+(?:\\.[0-9]+)?)([mM][sS]|[sS]|[mM]|[hH])"));
    static const QRegularExpression bareNumber(QStringLiteral("^[0-9]+(?:\\.[0-9]+)?$"));

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
    parser.addOptions(options.descriptionOptions());

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
    raw.listDictionaries = parser.isSet(options.listDictionaries);
    raw.shard = {parser.value(options.shard).trimmed(), parser.value(options.shardCount).trimmed()};
    raw.mergeReports = parser.value(options.mergeReports).trimmed();

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
    config->synthesis.wordTiming = parser.isSet(options.wordTiming);
    config->joinSentences = parser.isSet(options.joinSentences);
    config->claimClips = parser.isSet(options.claimClips);
    ProgrammeMixSettings& mix = config->timeline.programme;
    mix.programmePath = parser.value(options.mixWith);
    mix.keepOriginalAudio = parser.isSet(options.keepOriginalAudio);
    mix.audioLanguage = parser.value(options.audioLanguage);
    mix.audioTitle = parser.value(options.audioTitle);

    config->apiKeyFromEnvironment = environment.apiKey;
    config->apiUrl = ElevenLabsClient::serviceAddress(environment.apiUrl);
    return validate(parser, options, raw, environment, config);
}

} // namespace lyrane
