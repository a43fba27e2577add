#include "synthesis/cost_estimate.h"

#include <QObject>

#include <algorithm>

namespace lyrane {

namespace {

// "1 cue", "2 cues": the count grouped, the noun agreeing with it.
QString counted(qint64 count, const char* singular, const char* plural) {
    return groupedNumber(count) + QLatin1Char(' ') + QLatin1String(count == 1 ? singular : plural);
}

} // namespace

qint64 billableCharacters(const QString& text) {
    qint64 count = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        // A surrogate pair is one character.
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i;
        }
        ++count;
    }
    return count;
}

bool modelBillsHalfRate(const QString& modelId) {
    return modelId.startsWith(QLatin1String("eleven_flash_")) ||
           modelId.startsWith(QLatin1String("eleven_turbo_"));
}

qint64 creditsForRequest(qint64 characters, const QString& modelId) {
    characters = std::max<qint64>(characters, 0);
    return modelBillsHalfRate(modelId) ? (characters + 1) / 2 : characters;
}

void CostEstimate::addCue(qint64 cueCharacters, bool cached) {
    ++cues;
    characters += cueCharacters;
    if (cached) {
        ++cachedCues;
        return;
    }
    ++cuesToSynthesize;
    charactersToSynthesize += cueCharacters;
    credits += creditsForRequest(cueCharacters, modelId);
}

qint64 AccountCredits::left() const {
    return std::max<qint64>(limit - used, 0);
}

bool AccountCredits::allows(qint64 credits) const {
    return canExtend || credits <= left();
}

QString groupedNumber(qint64 value) {
    const bool negative = value < 0;
    // The magnitude as unsigned, so the most negative value has one too.
    const quint64 magnitude = negative ? quint64(0) - quint64(value) : quint64(value);
    const QString digits = QString::number(magnitude);
    QString grouped;
    grouped.reserve(digits.size() + digits.size() / 3 + 1);
    if (negative) {
        grouped += QLatin1Char('-');
    }
    for (qsizetype i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            grouped += QLatin1Char(',');
        }
        grouped += digits[i];
    }
    return grouped;
}

QString estimateLine(const CostEstimate& estimate) {
    return QObject::tr("Estimate: %1, %2; %3 cached; %4 to synthesize: %5, about %6 with %7\n")
        .arg(counted(estimate.cues, "cue", "cues"),
             counted(estimate.characters, "character", "characters"),
             counted(estimate.cachedCues, "cue", "cues"), groupedNumber(estimate.cuesToSynthesize),
             counted(estimate.charactersToSynthesize, "character", "characters"),
             counted(estimate.credits, "credit", "credits"), estimate.modelId);
}

QString dryRunMirrorLine() {
    return QObject::tr("The mirror is not asked in a dry run: cues cached only there count as "
                       "to synthesize\n");
}

QString notEnoughCreditsLine(qint64 needed, qint64 left) {
    return QObject::tr("Not enough credits: this run needs about %1, the account has %2 left\n")
        .arg(groupedNumber(needed), groupedNumber(left));
}

QString creditCheckSkippedLine(const QString& reason) {
    return QObject::tr("Could not read the account's credits (%1); going on without the credit "
                       "check\n")
        .arg(reason.trimmed());
}

QString billedLine(qint64 characters, qint64 newClips, bool estimated) {
    // The line's words stay as they are whatever the counts: scripts read it.
    return QObject::tr("Billed: %1 characters for %2 new clips%3\n")
        .arg(groupedNumber(characters), groupedNumber(newClips),
             estimated ? QObject::tr(" (estimated)") : QString());
}

std::optional<qint64> parseMaxCredits(const QString& value, QString* error) {
    bool ok = false;
    const qint64 credits = value.toLongLong(&ok, 10);
    if (!ok || credits < 0) {
        if (error) {
            *error = QObject::tr("--max-credits must be zero or positive\n");
        }
        return std::nullopt;
    }
    return credits;
}

QString overBudgetLine(qint64 needed, qint64 maxCredits) {
    return QObject::tr("This run needs about %1; --max-credits allows %2\n")
        .arg(counted(needed, "credit", "credits"), groupedNumber(maxCredits));
}

} // namespace lyrane
