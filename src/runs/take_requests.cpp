#include "runs/take_requests.h"

#include <QRegularExpression>

#include <algorithm>

namespace lyrane {

namespace {

// A positive whole number that fits an int; leading zeros are allowed.
std::optional<int> positive(const QString& text) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    if (!digits.match(text).hasMatch()) {
        return std::nullopt;
    }
    const int value = text.toInt();
    return value >= 1 ? std::optional<int>(value) : std::nullopt;
}

} // namespace

bool TakeRequests::isRetaken(int cue) const {
    return std::any_of(retakes.begin(), retakes.end(), [cue](const QPair<int, int>& range) {
        return cue >= range.first && cue <= range.second;
    });
}

int TakeRequests::lastCue() const {
    int last = choices.isEmpty() ? 0 : choices.lastKey();
    for (const QPair<int, int>& range : retakes) {
        last = std::max(last, range.second);
    }
    return last;
}

std::optional<QList<QPair<int, int>>> parseCueRanges(const QString& text) {
    QList<QPair<int, int>> ranges;
    for (const QString& item : text.split(QLatin1Char(','))) {
        const QStringList ends = item.trimmed().split(QLatin1Char('-'));
        if (ends.size() > 2) {
            return std::nullopt;
        }
        const std::optional<int> first = positive(ends.first().trimmed());
        const std::optional<int> last = positive(ends.last().trimmed());
        if (!first || !last || *last < *first) {
            return std::nullopt;
        }
        ranges.append({*first, *last});
    }
    return ranges;
}

std::optional<QMap<int, int>> parseTakeChoices(const QString& text) {
    QMap<int, int> choices;
    for (const QString& item : text.split(QLatin1Char(','))) {
        const QStringList parts = item.trimmed().split(QLatin1Char('='));
        if (parts.size() != 2) {
            return std::nullopt;
        }
        const std::optional<int> cue = positive(parts[0].trimmed());
        const std::optional<int> take = positive(parts[1].trimmed());
        if (!cue || !take || choices.contains(*cue)) {
            return std::nullopt;
        }
        choices.insert(*cue, *take);
    }
    return choices;
}

} // namespace lyrane
