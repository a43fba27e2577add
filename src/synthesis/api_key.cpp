#include "synthesis/api_key.h"

#include <QFile>
#include <QObject>

namespace lyrane {

QString loadApiKey(const QString& keyFile, const QString& fromEnvironment, QString* error) {
    if (!fromEnvironment.isEmpty()) {
        return fromEnvironment.trimmed();
    }
    QFile file(keyFile);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (error) {
            *error = QObject::tr("failed to read ElevenLabs API key: %1").arg(file.errorString());
        }
        return {};
    }
    const QString key = QString::fromUtf8(file.readAll()).trimmed();
    if (key.isEmpty() && error) {
        *error = QObject::tr("ElevenLabs API key file is empty");
    }
    return key;
}

QString apiKeySource(const QString& keyFile, const QString& fromEnvironment) {
    return fromEnvironment.isEmpty() ? keyFile : QStringLiteral("ELEVENLABS_API_KEY");
}

} // namespace lyrane
