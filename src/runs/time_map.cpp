#include "runs/time_map.h"

#include "runs/dialogue_track.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QSaveFile>

namespace lyrane {

bool writeTimeMap(const QString& path, const QList<ProgrammePause>& pauses, qint64 programmeMs,
                  QString* error) {
    QJsonArray entries;
    qint64 before = 0; // pauses earlier than this one, in all
    for (const ProgrammePause& pause : pauses) {
        const qint64 outputMs = pause.atMs + before;
        entries.append(QJsonObject{
            {QStringLiteral("programme_ms"), pause.atMs},
            {QStringLiteral("programme_time"), programmeTime(pause.atMs)},
            {QStringLiteral("duration_ms"), pause.lengthMs},
            {QStringLiteral("output_ms"), outputMs},
            {QStringLiteral("output_time"), programmeTime(outputMs)},
        });
        before += pause.lengthMs;
    }
    const QJsonObject map{
        {QStringLiteral("programme_ms"), programmeMs},
        {QStringLiteral("output_ms"), programmeMs + before},
        {QStringLiteral("paused_ms"), before},
        {QStringLiteral("pauses"), entries},
    };
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(map).toJson(QJsonDocument::Indented)) < 0 || !file.commit()) {
        *error = QObject::tr("cannot write the time map %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace lyrane
