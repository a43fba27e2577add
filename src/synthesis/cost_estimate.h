#pragma once

#include <QString>

#include <optional>

namespace lyrane {

// The characters the service bills for a text: its Unicode code points.
qint64 billableCharacters(const QString& text);

// True for the models billed at one credit per two characters: those whose identifier starts
// with "eleven_flash_" or "eleven_turbo_".
bool modelBillsHalfRate(const QString& modelId);

// The credits one request of `characters` costs with `modelId`. Half-rate models are billed
// per request, rounded up: 7 characters cost 4 credits, 0 cost 0.
qint64 creditsForRequest(qint64 characters, const QString& modelId);

// What a run will cost, summed cue by cue.
struct CostEstimate {
    QString modelId;
    qint64 cues = 0;
    qint64 characters = 0;
    qint64 cachedCues = 0;
    qint64 cuesToSynthesize = 0;
    qint64 charactersToSynthesize = 0;
    qint64 credits = 0; // of the cues to synthesize

    // Counts one cue of `characters`; only a cue that is not cached costs credits.
    void addCue(qint64 cueCharacters, bool cached);
};

// The account's standing as GET /v1/user/subscription reports it.
struct AccountCredits {
    qint64 used = 0;  // character_count
    qint64 limit = 0; // character_limit
    bool canExtend = false;

    // Never below zero, even when more was used than the limit.
    qint64 left() const;
    // Whether a run needing `credits` may start: enough is left, or the limit can be extended.
    bool allows(qint64 credits) const;
};

// "12,345": digits grouped by commas whatever the locale.
QString groupedNumber(qint64 value);

// "Estimate: 200 cues, 12,345 characters; 150 cues cached; 50 to synthesize: 3,345
// characters, about 3,345 credits with eleven_multilingual_v2\n" (one line).
QString estimateLine(const CostEstimate& estimate);
// Said in a dry run with a mirror configured, after the estimate.
QString dryRunMirrorLine();
// "Not enough credits: this run needs about %1, the account has %2 left\n"
QString notEnoughCreditsLine(qint64 needed, qint64 left);
// One line when the subscription cannot be read; the run goes on without the check.
QString creditCheckSkippedLine(const QString& reason);
// "Billed: %1 characters for %2 new clips\n", with " (estimated)" before the line break when
// the figures come from the texts' lengths instead of the service's headers.
QString billedLine(qint64 characters, qint64 newClips, bool estimated);

// The value of --max-credits: a whole number, zero or more. nullopt when it is not one, with
// the message in `error`.
std::optional<qint64> parseMaxCredits(const QString& value, QString* error);
// The refusal when a run's estimate exceeds --max-credits.
QString overBudgetLine(qint64 needed, qint64 maxCredits);

} // namespace lyrane
