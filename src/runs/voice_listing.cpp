#include "runs/voice_listing.h"

#include "runs/console.h"
#include "runs/stop_signals.h"
#include "synthesis/account_client.h"
#include "synthesis/account_dictionaries.h"
#include "synthesis/account_voices.h"
#include "synthesis/api_key.h"
#include "synthesis/elevenlabs_client.h"

#include <QNetworkAccessManager>
#include <QObject>

namespace lyrane {

namespace {

// The run's key, or nothing, having said why.
std::optional<QString> listingKey(const RunConfiguration& config) {
    QString error;
    const QString apiKey = loadApiKey(config.apiKeyFile, config.apiKeyFromEnvironment, &error);
    if (!error.isEmpty()) {
        printError(error + QLatin1Char('\n'));
        return std::nullopt;
    }
    if (apiKey.isEmpty()) {
        printError(QObject::tr("ElevenLabs API key is required\n"));
        return std::nullopt;
    }
    return apiKey;
}

// Reads one of the account's lists with `fetch` and prints it with `listing`.
template <typename Fetch, typename Listing>
int listAccount(const RunConfiguration& config, Fetch fetch, Listing listing,
                const QString& failureLine) {
    const std::optional<QString> apiKey = listingKey(config);
    if (!apiKey) {
        return 1;
    }
    QString error;
    QNetworkAccessManager network;
    const StopScope stopping([&network] { abortRequests(network); });
    const auto items = fetch(&network, config.apiUrl, *apiKey, config.synthesis.timeoutMs, &error);
    if (receivedStopSignal() != 0) {
        return 128 + receivedStopSignal();
    }
    if (!items) {
        printError(failureLine.arg(error));
        return 1;
    }
    printOutput(listing(*items));
    return 0;
}

} // namespace

int listAccountVoices(const RunConfiguration& config) {
    return listAccount(config, fetchAccountVoices, accountVoiceListing,
                       QObject::tr("failed to list voices: %1\n"));
}

int listAccountDictionaries(const RunConfiguration& config) {
    return listAccount(config, fetchAccountDictionaries, accountDictionaryListing,
                       QObject::tr("failed to list pronunciation dictionaries: %1\n"));
}

} // namespace lyrane
