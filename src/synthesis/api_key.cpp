#include "synthesis/api_key.h"

#include <QFile>
#include <QObject>

namespace lyrane {

QString loadApiKey(const QString& keyFile, QString* error) {
    const QByteArray fromEnvironment = qgetenv("ELEVENLABS_API_KEY");
    if (!fromEnvironment.isEmpty()) {
        return QString::fromUtf8(fromEnvironment).trimmed();
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

QString apiKeySource(const QString& keyFile) {
    return qgetenv("ELEVENLABS_API_KEY").isEmpty() ? keyFile : QStringLiteral("ELEVENLABS_API_KEY");
}

} // namespace lyrane
