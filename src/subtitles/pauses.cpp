#include "subtitles/pauses.h"

#include <QObject>
#include <QRegularExpression>

#include <cmath>

namespace lyrane {

namespace {

const QRegularExpression& pauseTag() {
    static const QRegularExpression tag(QStringLiteral("<break(?:\\s[^>]*)?/?>"),
                                        QRegularExpression::CaseInsensitiveOption);
    return tag;
}

// The milliseconds of a time attribute's value ("1.5s", "500ms"); nothing when unreadable.
std::optional<double> pauseMs(const QString& tag) {
    static const QRegularExpression attribute(
        QStringLiteral("\\stime\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)')"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression value(
        QStringLiteral("^\\s*([0-9]+(?:\\.[0-9]+)?)\\s*(ms|s)\\s*$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch found = attribute.match(tag);
    if (!found.hasMatch()) {
        return std::nullopt;
    }
    const QString time = found.captured(1).isNull() ? found.captured(2) : found.captured(1);
    const QRegularExpressionMatch number = value.match(time);
    if (!number.hasMatch()) {
        return std::nullopt;
    }
    const bool seconds = number.captured(2).compare(QLatin1String("s"), Qt::CaseInsensitive) == 0;
    return number.captured(1).toDouble() * (seconds ? 1000.0 : 1.0);
}

} // namespace

bool isPauseTag(QStringView body) {
    if (!body.startsWith(QLatin1String("break"), Qt::CaseInsensitive)) {
        return false;
    }
    return body.size() == 5 || body[5].isSpace() || body[5] == QLatin1Char('/');
}

bool mayHoldPause(const QString& text) {
    return text.contains(QLatin1String("<break"), Qt::CaseInsensitive);
}

std::optional<PausedText> readPauses(const QString& text, QString* problem) {
    PausedText paused;
    paused.pausesMs.append(0);
    qsizetype from = 0;
    const auto addPart = [&paused](const QString& part) {
        const QString trimmed = part.trimmed();
        if (!trimmed.isEmpty()) {
            paused.parts.append(trimmed);
            paused.pausesMs.append(0);
        }
    };
    auto tags = pauseTag().globalMatch(text);
    while (tags.hasNext()) {
        const QRegularExpressionMatch tag = tags.next();
        addPart(text.mid(from, tag.capturedStart() - from));
        from = tag.capturedEnd();
        const std::optional<double> ms = pauseMs(tag.captured());
        if (!ms) {
            *problem = QObject::tr("%1 is not a pause lyrane can make: give its time as, for "
                                   "example, time=\"1.5s\" or time=\"500ms\"")
                           .arg(tag.captured());
            return std::nullopt;
        }
        // Pauses side by side are one silence, held to the same limit.
        int& pause = paused.pausesMs.last();
        if (*ms > kMaxPauseMs - pause) {
            *problem =
                QObject::tr("%1 asks for a pause longer than the 10 s allowed").arg(tag.captured());
            return std::nullopt;
        }
        pause += int(std::llround(*ms));
    }
    addPart(text.mid(from));
    return paused;
}

QString withoutPauses(const QString& text) {
    if (!mayHoldPause(text)) {
        return text;
    }
    return QString(text).replace(pauseTag(), QStringLiteral(" ")).simplified();
}

} // namespace lyrane
