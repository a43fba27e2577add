#include "cli/options.h"

#include "cli/batch_selection.h"
#include "cli/command_words.h"
#include "cli/option_table.h"
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

// --merge-reports: a mode of its own, writing only the joined report.
std::optional<int> validateReportMerge(const ModeArguments& raw, int modes,
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

// The values read, then the mode settled by the options that choose it, then what each option
// needs of the others, in the order users see them reported.
std::optional<int> validate(const QList<OptionRow>& rows, OptionContext& context) {
    RunConfiguration* config = &context.config;
    const ModeArguments& raw = context.mode;
    if (const std::optional<QString> refusal = readOptionRows(rows, context)) {
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
    const ShardOptions shard{raw.shard, raw.shardCount};
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
                selectBatchFiles(raw.batchFiles, shard, context.environment, config)) {
            return fail(*refusal);
        }
    }
    if (config->mode != RunMode::Batch) {
        if (const std::optional<QString> refusal =
                refuseShardWithoutBatch(shard, context.environment)) {
            return fail(*refusal);
        }
    }
    if (const std::optional<QString> refusal = checkOptionRows(rows, context)) {
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
    const QList<OptionRow> rows = optionTable();
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QObject::tr("Convert VTT subtitles to speech using ElevenLabs"));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    for (const OptionRow& row : rows) {
        parser.addOption(row.option);
    }

    // The parser's own answers, as QCommandLineParser::process gives them, without its exit().
    if (!parser.parse(withServePort(arguments, rows))) {
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

    *config = RunConfiguration();
    config->command = typedCommand(arguments, rows);
    config->apiKeyFromEnvironment = environment.apiKey;
    config->apiUrl = ElevenLabsClient::serviceAddress(environment.apiUrl);
    ModeArguments mode;
    OptionContext context{parser, environment, *config, mode};
    return validate(rows, context);
}

} // namespace lyrane
