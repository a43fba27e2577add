#include "runs/run_preparation.h"

#include "cache/file_helpers.h"
#include "cli/console.h"

#include <QFile>
#include <QObject>

namespace lyrane {

std::optional<RunResources> prepareRunResources(const Config& config) {
    QString error;
    const QString apiKey = loadApiKey(config.apiKeyFile, &error);
    if (!error.isEmpty()) {
        printError(error + QLatin1Char('\n'));
        return std::nullopt;
    }
    if (apiKey.isEmpty()) {
        printError(QObject::tr("ElevenLabs API key is required\n"));
        return std::nullopt;
    }

    RunResources resources{apiKey, CacheManager(config.tempDir), S3Cache(config.s3Bucket)};
    resources.mirror.setTimeoutMs(config.timeoutMs);
    if (resources.mirror.isEnabled()) {
        if (!resources.mirror.ensureAvailable(&error)) {
            printError(error + QLatin1Char('\n'));
            return std::nullopt;
        }
        printError(QObject::tr("S3 cache enabled: %1\n").arg(config.s3Bucket));
    }
    return resources;
}

std::optional<QString> loadTextToSpeak(const Config& config) {
    QString text;
    if (!config.sayText.isEmpty()) {
        text = config.sayText.trimmed();
    } else {
        QFile file(config.textFile);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            printError(QObject::tr("Failed to read text file: %1\n").arg(file.errorString()));
            return std::nullopt;
        }
        text = QString::fromUtf8(file.readAll()).trimmed();
    }
    if (text.isEmpty()) {
        printError(QObject::tr("Text is empty\n"));
        return std::nullopt;
    }
    return text;
}

} // namespace lyrane
