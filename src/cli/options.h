#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace lyrane {

// Every setting of a run, filled once from the command line and the environment.
struct Config {
    QString vttFile;
    QString sayText;
    QString textFile;
    QString voice;
    QString apiKeyFile;
    QString tempDir;
    QString outputFile;
    int limit = 0;
    int paddingMs = 0;
    bool autopad = false;
    bool autospeed = false;
    double speed = 1.0;
    bool noPadding = false;
    bool cacheOnly = false;
    bool dryRun = false;
    QString s3Bucket;
    QString outputFormat = QStringLiteral("pcm_44100");
    QString batchFiles;
    QString previousText;
    QString nextText;
    int jobs = 1;
    int retries = 0;
    int timeoutMs = 0; // 0: no time-out
    // Narration mixed over a programme (--mix-with).
    QString mixWith;
    int mixStream = 0;
    double duckDb = 10.0;
    int duckAttackMs = 150;
    int duckReleaseMs = 400;
    bool keepOriginalAudio = false;
    QString audioLanguage;
    QString audioTitle = QStringLiteral("Narration");
};

// Parses and validates the arguments (program name first). Returns the exit status when the
// invocation ends here (help, version, a rejected option, --cache-only), or nothing when
// `config` is ready for a run.
std::optional<int> parseCommandLine(const QStringList& arguments, Config* config);

// "500ms", "5s", "1m30s", "1.5s", "2h" or a bare number of seconds; nothing when invalid,
// negative or longer than a day.
std::optional<int> parseDurationMs(const QString& text);

} // namespace lyrane
