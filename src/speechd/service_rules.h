#pragma once

#include <QString>

#include <optional>

namespace lyrane::speechd {

// What the cloud service allows an account: its models with their per-request limits and
// prices, its output formats, and the plans that restrict both.

struct ModelRules {
    const char* id;
    int characterLimit;      // characters of `text` in one request
    int charactersPerCredit; // 2 for the Flash and Turbo models, otherwise 1
    bool usesLanguageCode;   // false where the service ignores `language_code`
};

// nullopt for a model the service does not have.
std::optional<ModelRules> findModel(const QString& modelId);
const ModelRules& defaultModel();

// Credits a text of `characters` characters costs with `model`.
qint64 creditsFor(qint64 characters, const ModelRules& model);

enum class Plan { Unrestricted, Free, Starter, Creator, Pro, Scale };

std::optional<Plan> planFromName(const QString& name);
// The subscription's tier name ("free", ... "scale"; "enterprise" without a plan).
QString tierName(Plan plan);

// Requests the plan allows in flight at once with `model`; 0 means no limit.
int concurrencyLimit(Plan plan, const ModelRules& model);

struct OutputFormat {
    enum class Kind { Pcm, Wav, Mp3, Ulaw, Alaw, Opus };
    QString name;
    Kind kind = Kind::Pcm;
    int sampleRate = 0;
    int bitRate = 0; // bits per second, compressed kinds only
};

// The service's default when no format is asked for.
QString defaultOutputFormatName();
// nullopt for a name that is not one of the service's formats (letter case ignored).
std::optional<OutputFormat> parseOutputFormat(const QString& name);

// The lowest plan that may ask for `format`.
Plan minimumPlanFor(const OutputFormat& format);
bool planAllows(Plan plan, const OutputFormat& format);
// The plan's name as the service writes it in messages ("Pro", ...).
QString planTitle(Plan plan);

} // namespace lyrane::speechd
