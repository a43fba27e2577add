#include "runs/run_preparation.h"

#include "synthesis/api_key.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QObject>
#include <QSysInfo>

namespace lyrane {

RunServices::RunServices(const QString& apiKey, const QString& apiUrl,
                         const QString& cacheDirectory, const QString& s3Bucket,
                         const S3ClientOptions& s3Client, int timeoutMs,
                         std::unique_ptr<SpeechService> speech)
    : apiKey(apiKey), cache(cacheDirectory), mirror(makeS3Objects(s3Bucket, s3Client)),
      takeRecords(*mirror), client(&network, apiUrl),
      service(speech ? std::move(speech)
                     : std::make_unique<ElevenLabsSpeechService>(client, apiKey)),
      clips(cache, mirror->isEnabled() ? mirror.get() : nullptr, *service) {
    mirror->setTimeoutMs(timeoutMs);
    client.setTransferTimeoutMs(timeoutMs);
}

std::unique_ptr<RunServices> prepareRunServices(const RunConfiguration& config, Console& console,
                                                NarrationOutcome* failure) {
    const auto failed = [failure](const QString& line) {
        *failure = NarrationOutcome::failedWith(RunFailure::Kind::Services, line);
        return nullptr;
    };
    QString error;
    const QString apiKey = loadApiKey(config.apiKeyFile, config.apiKeyFromEnvironment, &error);
    if (!error.isEmpty()) {
        return failed(error + QLatin1Char('\n'));
    }
    if (apiKey.isEmpty()) {
        return failed(QObject::tr("ElevenLabs API key is required\n"));
    }

    auto services =
        std::make_unique<RunServices>(apiKey, config.apiUrl, config.cacheDirectory, config.s3Bucket,
                                      config.s3Client, config.synthesis.timeoutMs);
    // What a killed run left behind; an hour spares the files of a run still going.
    services->cache.removeStaleTemporaries(QDateTime::currentDateTime().addSecs(-3600));
    if (services->mirror->isEnabled()) {
        // Before any request: the tool, and for the HTTP client the credentials it gives.
        if (!services->mirror->prepare(&error)) {
            return failed(error + QLatin1Char('\n'));
        }
        console.error(QObject::tr("S3 cache enabled: %1\n").arg(config.s3Bucket));
        if (config.shard || config.claimClips) {
            // Named so that a waiting worker can say whom it waits for.
            const QString worker = QStringLiteral("%1:%2").arg(
                QSysInfo::machineHostName(), QString::number(QCoreApplication::applicationPid()));
            services->claimStore = std::make_unique<S3ClaimStore>(*services->mirror);
            services->claims = std::make_unique<ClipClaims>(
                *services->claimStore, *services->mirror, worker,
                [&console](const QString& line) { console.error(line); });
            services->clips.setClaims(services->claims.get());
        }
    }
    return services;
}

} // namespace lyrane
