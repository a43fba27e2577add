#include "service_rules.h"

#include <iterator>

namespace lyrane::speechd {

namespace {

constexpr ModelRules kModels[] = {
    {"eleven_multilingual_v2", 10000, 1, false},
    {"eleven_v3", 5000, 1, true},
    {"eleven_flash_v2_5", 40000, 2, true},
    {"eleven_turbo_v2_5", 40000, 2, true},
    // English only: a language code has nothing to choose from.
    {"eleven_flash_v2", 30000, 2, false},
    {"eleven_turbo_v2", 30000, 2, false},
};

struct PlanEntry {
    Plan plan;
    const char* name;
    const char* title;
    int concurrency; // for the multilingual and v3 models; Flash and Turbo allow twice this
};

constexpr PlanEntry kPlans[] = {
    {Plan::Free, "free", "Free", 2},          {Plan::Starter, "starter", "Starter", 3},
    {Plan::Creator, "creator", "Creator", 5}, {Plan::Pro, "pro", "Pro", 10},
    {Plan::Scale, "scale", "Scale", 15},
};

constexpr int kRates[] = {8000, 16000, 22050, 24000, 32000, 44100, 48000};

struct CompressedFormat {
    const char* name;
    OutputFormat::Kind kind;
    int sampleRate;
    int bitRate;
};

constexpr CompressedFormat kCompressedFormats[] = {
    {"mp3_22050_32", OutputFormat::Kind::Mp3, 22050, 32000},
    {"mp3_24000_48", OutputFormat::Kind::Mp3, 24000, 48000},
    {"mp3_44100_32", OutputFormat::Kind::Mp3, 44100, 32000},
    {"mp3_44100_64", OutputFormat::Kind::Mp3, 44100, 64000},
    {"mp3_44100_96", OutputFormat::Kind::Mp3, 44100, 96000},
    {"mp3_44100_128", OutputFormat::Kind::Mp3, 44100, 128000},
    {"mp3_44100_192", OutputFormat::Kind::Mp3, 44100, 192000},
    // Not one of the service's names: the bare spelling lyrane sends for plain MP3.
    {"mp3_44100", OutputFormat::Kind::Mp3, 44100, 128000},
    {"ulaw_8000", OutputFormat::Kind::Ulaw, 8000, 64000},
    {"alaw_8000", OutputFormat::Kind::Alaw, 8000, 64000},
    {"opus_48000_32", OutputFormat::Kind::Opus, 48000, 32000},
    {"opus_48000_64", OutputFormat::Kind::Opus, 48000, 64000},
    {"opus_48000_96", OutputFormat::Kind::Opus, 48000, 96000},
    {"opus_48000_128", OutputFormat::Kind::Opus, 48000, 128000},
    {"opus_48000_192", OutputFormat::Kind::Opus, 48000, 192000},
};

const PlanEntry* planEntry(Plan plan) {
    for (const PlanEntry& entry : kPlans) {
        if (entry.plan == plan)
            return &entry;
    }
    return nullptr;
}

} // namespace

std::optional<ModelRules> findModel(const QString& modelId) {
    for (const ModelRules& model : kModels) {
        if (modelId == QLatin1String(model.id))
            return model;
    }
    return std::nullopt;
}

const ModelRules& defaultModel() {
    return kModels[0];
}

qint64 creditsFor(qint64 characters, const ModelRules& model) {
    return (characters + model.charactersPerCredit - 1) / model.charactersPerCredit;
}

std::optional<Plan> planFromName(const QString& name) {
    for (const PlanEntry& entry : kPlans) {
        if (name == QLatin1String(entry.name))
            return entry.plan;
    }
    return std::nullopt;
}

QString tierName(Plan plan) {
    const PlanEntry* entry = planEntry(plan);
    return entry ? QLatin1String(entry->name) : QStringLiteral("enterprise");
}

QString planTitle(Plan plan) {
    const PlanEntry* entry = planEntry(plan);
    return entry ? QLatin1String(entry->title) : QStringLiteral("Enterprise");
}

int concurrencyLimit(Plan plan, const ModelRules& model) {
    const PlanEntry* entry = planEntry(plan);
    return entry ? entry->concurrency * model.charactersPerCredit : 0;
}

QString defaultOutputFormatName() {
    return QStringLiteral("mp3_44100_128");
}

std::optional<OutputFormat> parseOutputFormat(const QString& given) {
    // Clients may write the names in any letter case.
    const QString name = given.toLower();
    for (const int rate : kRates) {
        if (name == QLatin1String("pcm_") + QString::number(rate))
            return OutputFormat{name, OutputFormat::Kind::Pcm, rate, 0};
        if (name == QLatin1String("wav_") + QString::number(rate))
            return OutputFormat{name, OutputFormat::Kind::Wav, rate, 0};
    }
    for (const CompressedFormat& format : kCompressedFormats) {
        if (name == QLatin1String(format.name))
            return OutputFormat{name, format.kind, format.sampleRate, format.bitRate};
    }
    return std::nullopt;
}

Plan minimumPlanFor(const OutputFormat& format) {
    const bool lossless =
        format.kind == OutputFormat::Kind::Pcm || format.kind == OutputFormat::Kind::Wav;
    if (lossless && format.sampleRate >= 44100)
        return Plan::Pro;
    if (format.kind == OutputFormat::Kind::Mp3 && format.bitRate >= 192000)
        return Plan::Creator;
    return Plan::Free;
}

bool planAllows(Plan plan, const OutputFormat& format) {
    // Plans are declared from the least to the most; no plan at all allows everything.
    return plan == Plan::Unrestricted ||
           static_cast<int>(plan) >= static_cast<int>(minimumPlanFor(format));
}

} // namespace lyrane::speechd
