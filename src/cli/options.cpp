#include "cli/options.h"

#include "cli/console.h"
#include "cache/file_helpers.h"

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

// The option table, in the order the help lists it.
struct OptionTable {
    QCommandLineOption vtt{QStringLiteral("vtt"), QObject::tr("VTT file to process"),
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
    QCommandLineOption format{
        {QStringLiteral("f"), QStringLiteral("format")},
        QObject::tr("Output format for ElevenLabs API (pcm_44100, mp3_44100)"),
        QStringLiteral("format"),
        QStringLiteral("pcm_44100")};
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
        QStringLiteral("count"), QStringLiteral("0")};
    QCommandLineOption timeout{
        QStringLiteral("timeout"),
        QObject::tr("Seconds without progress before a request or aws call fails (0 for none)"),
        QStringLiteral("seconds"), QStringLiteral("0")};
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

    OptionTable()
        : voice({QStringLiteral("d"), QStringLiteral("voice")},
                QObject::tr("Voice name (Miravel, Dostan, Brenn, Ottaline) or ElevenLabs voice ID"),
                QStringLiteral("name"), defaultVoice()),
          s3Bucket({QStringLiteral("s"), QStringLiteral("s3-bucket")},
                   QObject::tr("S3 bucket for caching audio segments (defaults to "
                               "LYRANE_S3_BUCKET; requires aws CLI)"),
                   QStringLiteral("bucket"), environmentText("LYRANE_S3_BUCKET")) {}

    static QString defaultVoice() {
        const QString fromEnvironment = environmentText("LYRANE_DEFAULT_VOICE");
        return fromEnvironment.isEmpty() ? QStringLiteral("Brenn") : fromEnvironment;
    }

    QList<QCommandLineOption> all() const { return beforeProgrammeMix() + programmeMix(); }

    QList<QCommandLineOption> beforeProgrammeMix() const {
        return {vtt,          say,     text,      voice,  keyFile,      tempDir,          limit,
                padding,      autopad, autospeed, speed,  output,       dryRun,           noPadding,
                cacheOnly,    batch,   s3Bucket,  format, previousText, previousTextFile, nextText,
                nextTextFile, jobs,    retries,   timeout};
    }

    // Narration over a programme.
    QList<QCommandLineOption> programmeMix() const {
        return {mixWith,     mixStream,         duck,          duckAttack,
                duckRelease, keepOriginalAudio, audioLanguage, audioTitle};
    }
};

std::optional<int> fail(const QString& message) {
    printError(message);
    return 1;
}

// --mix-with and its companions: the numbers, checked with the other numbers.
std::optional<int> validateProgrammeMixNumbers(const QCommandLineParser& parser,
                                               const OptionTable& options, Config* config) {
    bool ok = false;
    config->mixWith = parser.value(options.mixWith);
    config->mixStream = parser.value(options.mixStream).toInt(&ok);
    if (!ok || config->mixStream < 0) {
        return fail(QObject::tr("--mix-stream must be zero or positive\n"));
    }
    config->duckDb = parser.value(options.duck).toDouble(&ok);
    if (!ok || !(config->duckDb >= 0 && config->duckDb <= kMaxDuckDb)) {
        return fail(QObject::tr("--duck must be between 0 and 60\n"));
    }
    for (const auto& [option, target, message] :
         {std::tuple{&options.duckAttack, &config->duckAttackMs,
                     QObject::tr("--duck-attack must be between 0 and 10000\n")},
          std::tuple{&options.duckRelease, &config->duckReleaseMs,
                     QObject::tr("--duck-release must be between 0 and 10000\n")}}) {
        *target = parser.value(*option).toInt(&ok);
        if (!ok || *target < 0 || *target > kMaxDuckRampMs) {
            return fail(message);
        }
    }
    config->keepOriginalAudio = parser.isSet(options.keepOriginalAudio);
    config->audioLanguage = parser.value(options.audioLanguage);
    static const QRegularExpression languageCode(QStringLiteral("^[a-z]{3}$"));
    if (parser.isSet(options.audioLanguage) &&
        !languageCode.match(config->audioLanguage).hasMatch()) {
        return fail(
            QObject::tr("--audio-language must be a three-letter ISO 639-2 code such as eng\n"));
    }
    config->audioTitle = parser.value(options.audioTitle);
    return std::nullopt;
}

// --mix-with and its companions: how they combine with the run and its output.
std::optional<int> validateProgrammeMixUse(const QCommandLineParser& parser,
                                           const OptionTable& options, const Config& config) {
    if (config.mixWith.isEmpty()) {
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
    if (config.vttFile.isEmpty()) {
        return fail(QObject::tr("--mix-with is only supported with --vtt\n"));
    }
    if (config.keepOriginalAudio && !isVideoOutputPath(config.outputFile)) {
        return fail(QObject::tr("--keep-original-audio needs an .mp4, .mov or .mkv output\n"));
    }
    return std::nullopt;
}

// The checks that must pass before any work starts, in the order users see them reported.
std::optional<int> validate(const QCommandLineParser& parser, const OptionTable& options,
                            Config* config) {
    if (parser.isSet(options.previousText) && parser.isSet(options.previousTextFile)) {
        return fail(
            QObject::tr("only one of --previous-text or --previous-text-file may be provided\n"));
    }
    if (parser.isSet(options.nextText) && parser.isSet(options.nextTextFile)) {
        return fail(QObject::tr("only one of --next-text or --next-text-file may be provided\n"));
    }
    for (const auto& [option, target] :
         {std::pair{&options.previousTextFile, &config->previousText},
          std::pair{&options.nextTextFile, &config->nextText}}) {
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
    config->speed = parser.value(options.speed).toDouble(&ok);
    if (!ok || !(config->speed >= 0.7 && config->speed <= 1.2)) {
        return fail(QObject::tr("--speed must be between 0.7 and 1.2\n"));
    }
    const std::optional<int> padding = parseDurationMs(parser.value(options.padding));
    if (!padding) {
        return fail(QObject::tr("--padding must be a duration such as 500ms, 5s or 1m30s\n"));
    }
    config->paddingMs = *padding;
    config->jobs = parser.value(options.jobs).toInt(&ok);
    if (!ok || config->jobs < 1 || config->jobs > kMaxJobs) {
        return fail(QObject::tr("--jobs must be between 1 and 16\n"));
    }
    config->retries = parser.value(options.retries).toInt(&ok);
    if (!ok || config->retries < 0 || config->retries > kMaxRetries) {
        return fail(QObject::tr("--retries must be between 0 and 10\n"));
    }
    const double timeoutSeconds = parser.value(options.timeout).toDouble(&ok);
    if (!ok || !std::isfinite(timeoutSeconds) || timeoutSeconds < 0) {
        return fail(QObject::tr("--timeout must be zero or positive\n"));
    }
    // Anything beyond what a millisecond int holds is as good as no limit.
    const double timeoutMs = std::ceil(timeoutSeconds * 1000.0);
    config->timeoutMs =
        timeoutMs > std::numeric_limits<int>::max() ? 0 : static_cast<int>(timeoutMs);
    if (std::optional<int> status = validateProgrammeMixNumbers(parser, options, config)) {
        return status;
    }

    if (config->cacheOnly) {
        printOutput(config->tempDir + QLatin1Char('\n'));
        return 0;
    }

    const int modes = int(!config->vttFile.isEmpty()) + int(!config->sayText.isEmpty()) +
                      int(!config->textFile.isEmpty()) + int(!config->batchFiles.isEmpty());
    if (modes == 0) {
        return fail(QObject::tr("one of --vtt, --say, --text, or --batch must be provided\n"));
    }
    if (modes > 1) {
        return fail(QObject::tr("only one of --vtt, --say, --text, or --batch may be provided\n"));
    }
    if ((!config->previousText.isEmpty() || !config->nextText.isEmpty()) &&
        config->sayText.isEmpty() && config->textFile.isEmpty()) {
        return fail(QObject::tr(
            "--previous-text and --next-text are only supported with --say or --text\n"));
    }
    if (config->outputFile.isEmpty()) {
        return fail(QObject::tr("--output flag is required\n"));
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

std::optional<int> parseCommandLine(const QStringList& arguments, Config* config) {
    const OptionTable options;
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

    config->vttFile = parser.value(options.vtt);
    config->sayText = parser.value(options.say);
    config->textFile = parser.value(options.text);
    config->voice = parser.value(options.voice);
    config->apiKeyFile = parser.value(options.keyFile);
    config->tempDir = parser.value(options.tempDir);
    config->outputFile = parser.value(options.output);
    config->autopad = parser.isSet(options.autopad);
    config->autospeed = parser.isSet(options.autospeed);
    config->noPadding = parser.isSet(options.noPadding);
    config->cacheOnly = parser.isSet(options.cacheOnly);
    config->dryRun = parser.isSet(options.dryRun);
    config->batchFiles = parser.value(options.batch);
    config->s3Bucket = parser.value(options.s3Bucket);
    config->outputFormat = parser.value(options.format);
    config->previousText = parser.value(options.previousText).trimmed();
    config->nextText = parser.value(options.nextText).trimmed();

    return validate(parser, options, config);
}

} // namespace lyrane
