#include "synthesis/models.h"

#include <QObject>

namespace lyrane {

namespace {

struct ModelEntry {
    const char* id;
    int characterLimit;
    double creditsPerCharacter;
};

// Limits per request and credits per character as the service publishes them.
constexpr ModelEntry kModels[] = {
    {kDefaultModelId, 10000, 1.0},     {"eleven_v3", 5000, 1.0},
    {"eleven_flash_v2_5", 40000, 0.5}, {"eleven_flash_v2", 30000, 0.5},
    {"eleven_turbo_v2_5", 40000, 0.5}, {"eleven_turbo_v2", 30000, 0.5},
};

} // namespace

ModelInfo modelInfo(const QString& id) {
    for (const ModelEntry& entry : kModels) {
        if (id == QLatin1String(entry.id)) {
            return ModelInfo{id, true, entry.characterLimit, entry.creditsPerCharacter};
        }
    }
    return ModelInfo{id, false, 5000, 1.0};
}

QStringList knownModelIds() {
    QStringList ids;
    for (const ModelEntry& entry : kModels) {
        ids.append(QLatin1String(entry.id));
    }
    return ids;
}

ModelIdCheck checkModelId(const QString& id) {
    if (id.isEmpty()) {
        return ModelIdCheck::Invalid;
    }
    for (const QChar c : id) {
        const bool allowed = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                             (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                             c == QLatin1Char('_');
        if (!allowed) {
            return ModelIdCheck::Invalid;
        }
    }
    return modelInfo(id).known ? ModelIdCheck::Known : ModelIdCheck::Unknown;
}

QString unknownModelWarning(const QString& id) {
    return QObject::tr("Warning: model %1 is not one lyrane knows; it is sent as given, with "
                       "a limit of 5000 characters per request\n")
        .arg(id);
}

} // namespace lyrane
