#pragma once

#include <QList>
#include <QString>
#include <QTime>

#include <optional>

namespace lyrane {

struct VttCue {
    qint64 startMs = 0;
    qint64 endMs = 0;
    QString text;

    QTime startTime() const;
    QTime endTime() const;
};

class VttParser {
public:
    std::optional<QList<VttCue>> parse(const QString& path, QString* error) const;
    std::optional<QList<VttCue>> parseContent(const QString& content, QString* error) const;
    std::optional<qint64> parseTimestamp(const QString& timestamp, QString* error) const;
    QString extractText(const QString& line) const;
};

} // namespace lyrane
