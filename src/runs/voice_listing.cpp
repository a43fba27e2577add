#include "runs/voice_listing.h"

#include "runs/console.h"
#include "runs/stop_signals.h"
#include "synthesis/account_client.h"
#include "synthesis/account_voices.h"
#include "synthesis/api_key.h"
#include "synthesis/elevenlabs_client.h"

#include <QNetworkAccessManager>
#include <QObject>

namespace lyrane {

int listAccountVoices(const RunConfiguration& config) {
    QString error;
    const QString apiKey = loadApiKey(config.apiKeyFile, config.apiKeyFromEnvironment, &error);
    if (!error.isEmpty()) {
        printError(error + QLatin1Char('\n'));
        return 1;
    }
    if (apiKey.isEmpty()) {
        printError(QObject::tr("ElevenLabs API key is required\n"));
        return 1;
    }
    QNetworkAccessManager network;
    const StopScope stopping([&network] { abortRequests(network); });
    const std::optional<QList<AccountVoice>> voices =
        fetchAccountVoices(&network, config.apiUrl, apiKey, config.synthesis.timeoutMs, &error);
    if (receivedStopSignal() != 0) {
        return 128 + receivedStopSignal();
    }
    if (!voices) {
        printError(QObject::tr("failed to list voices: %1\n").arg(error));
        return 1;
    }
    printOutput(accountVoiceListing(*voices));
    return 0;
}

} // namespace lyrane
