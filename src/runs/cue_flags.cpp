#include "runs/cue_flags.h"

#include <QObject>
#include <QStringList>

#include <algorithm>
#include <array>
#include <vector>

namespace lyrane {

namespace {

constexpr qint64 kPushedMs = 500;
constexpr qint64 kPauseMs = 1000;
constexpr double kRateSpread = 0.4;
constexpr int kKinds = int(CueFlagKind::CutShort) + 1;

double speechRate(const CueMeasure& cue) {
    return cue.speechMs > 0 ? double(cue.characters) * 1000.0 / double(cue.speechMs) : 0.0;
}

double medianRate(const QList<CueMeasure>& cues) {
    std::vector<double> rates;
    for (const CueMeasure& cue : cues) {
        if (cue.characters > 0 && cue.speechMs > 0) {
            rates.push_back(speechRate(cue));
        }
    }
    if (rates.empty()) {
        return 0.0;
    }
    const size_t middle = rates.size() / 2;
    std::nth_element(rates.begin(), rates.begin() + qsizetype(middle), rates.end());
    return rates[middle];
}

// How the summary counts a kind, in the summary's order.
QString countWording(CueFlagKind kind, int count) {
    switch (kind) {
    case CueFlagKind::PushedLater:
        return QObject::tr("%1 pushed later").arg(count);
    case CueFlagKind::SpedUp:
        return QObject::tr("%1 sped up").arg(count);
    case CueFlagKind::LongerThanSlot:
        return QObject::tr("%1 longer than the slot").arg(count);
    case CueFlagKind::FastSpeech:
        return QObject::tr("%1 fast").arg(count);
    case CueFlagKind::SlowSpeech:
        return QObject::tr("%1 slow").arg(count);
    case CueFlagKind::PauseInside:
        return QObject::tr("%1 with a long pause").arg(count);
    case CueFlagKind::FullScale:
        return QObject::tr("%1 at full scale").arg(count);
    case CueFlagKind::CutShort:
        return QObject::tr("%1 cut short").arg(count);
    }
    return QString();
}

} // namespace

QList<QList<CueFlag>> flagCues(const QList<CueMeasure>& cues) {
    const double median = medianRate(cues);
    QList<QList<CueFlag>> flags(cues.size());
    for (qsizetype i = 0; i < cues.size(); ++i) {
        const CueMeasure& cue = cues[i];
        QList<CueFlag>& out = flags[i];
        if (cue.delayMs > kPushedMs) {
            out.append({CueFlagKind::PushedLater, double(cue.delayMs)});
        }
        if (cue.speedUp > 1.0) {
            out.append({CueFlagKind::SpedUp, cue.speedUp});
        }
        if (cue.slotMs > 0 && cue.clipMs > cue.slotMs) {
            out.append({CueFlagKind::LongerThanSlot, double(cue.clipMs - cue.slotMs)});
        }
        const double rate = speechRate(cue);
        if (median > 0.0 && cue.characters > 0 && rate > 0.0) {
            if (rate > median * (1.0 + kRateSpread)) {
                out.append({CueFlagKind::FastSpeech, rate});
            } else if (rate < median * (1.0 - kRateSpread)) {
                out.append({CueFlagKind::SlowSpeech, rate});
            }
        }
        if (cue.longestPauseMs > kPauseMs) {
            out.append({CueFlagKind::PauseInside, double(cue.longestPauseMs)});
        }
        if (cue.fullScaleSamples > 0) {
            out.append({CueFlagKind::FullScale, double(cue.fullScaleSamples)});
        }
        if (cue.missingCharacters > 0) {
            out.append({CueFlagKind::CutShort, double(cue.missingCharacters)});
        }
    }
    return flags;
}

QString cueFlagName(CueFlagKind kind) {
    switch (kind) {
    case CueFlagKind::PushedLater:
        return QStringLiteral("pushed_later");
    case CueFlagKind::SpedUp:
        return QStringLiteral("sped_up");
    case CueFlagKind::LongerThanSlot:
        return QStringLiteral("longer_than_slot");
    case CueFlagKind::FastSpeech:
        return QStringLiteral("fast_speech");
    case CueFlagKind::SlowSpeech:
        return QStringLiteral("slow_speech");
    case CueFlagKind::PauseInside:
        return QStringLiteral("pause_inside");
    case CueFlagKind::FullScale:
        return QStringLiteral("full_scale");
    case CueFlagKind::CutShort:
        return QStringLiteral("cut_short");
    }
    return QString();
}

QString describeCueFlag(const CueFlag& flag) {
    switch (flag.kind) {
    case CueFlagKind::PushedLater:
        return QObject::tr("pushed later by %1 ms").arg(qint64(flag.value));
    case CueFlagKind::SpedUp:
        return QObject::tr("sped up %1x").arg(flag.value, 0, 'f', 2);
    case CueFlagKind::LongerThanSlot:
        return QObject::tr("%1 ms longer than its slot").arg(qint64(flag.value));
    case CueFlagKind::FastSpeech:
        return QObject::tr("fast: %1 characters a second").arg(flag.value, 0, 'f', 1);
    case CueFlagKind::SlowSpeech:
        return QObject::tr("slow: %1 characters a second").arg(flag.value, 0, 'f', 1);
    case CueFlagKind::PauseInside:
        return QObject::tr("a pause of %1 ms inside").arg(qint64(flag.value));
    case CueFlagKind::FullScale:
        return QObject::tr("%1 samples at full scale").arg(qint64(flag.value));
    case CueFlagKind::CutShort:
        return QObject::tr("cut short: %1 characters missing").arg(qint64(flag.value));
    }
    return QString();
}

QString flaggedLine(const QList<QList<CueFlag>>& flags, const QString& reviewFile) {
    std::array<int, kKinds> counts{};
    int flagged = 0;
    for (const QList<CueFlag>& cue : flags) {
        flagged += cue.isEmpty() ? 0 : 1;
        std::array<bool, kKinds> seen{};
        for (const CueFlag& flag : cue) {
            seen[size_t(flag.kind)] = true;
        }
        for (int k = 0; k < kKinds; ++k) {
            counts[size_t(k)] += seen[size_t(k)] ? 1 : 0;
        }
    }
    if (flagged == 0) {
        return QString();
    }
    QStringList parts;
    for (int k = 0; k < kKinds; ++k) {
        if (counts[size_t(k)] > 0) {
            parts.append(countWording(CueFlagKind(k), counts[size_t(k)]));
        }
    }
    return QObject::tr("Flagged: %1 of %2 cues (%3); see %4\n")
        .arg(flagged)
        .arg(flags.size())
        .arg(parts.join(QLatin1String(", ")),
             reviewFile.isEmpty() ? QStringLiteral("--review") : reviewFile);
}

} // namespace lyrane
