#pragma once

#include "audio/audio_buffer.h"

#include <QString>
#include <QtGlobal>

#include <memory>
#include <optional>
#include <vector>

namespace lyrane {

// Integrated loudness (ITU-R BS.1770-4, EBU R128 gating) and true peak (the highest of any
// channel).
// -infinity where the signal is silent or every block falls below the absolute gate.
struct LoudnessReading {
    double integratedLufs = 0.0;
    double truePeakDbtp = 0.0;
    double loudnessRangeLu = 0.0; // EBU Tech 3342; a gain leaves it as it is
};

// A meter fed blocks of frames (mono, or interleaved channels weighted as left and right) in
// any chunking; memory stays the same however long the signal.
// Several meters fed parts of one signal (each part followed by silence) combine into the
// reading of the whole, so the parts may be measured on different threads.
class LoudnessMeter {
public:
    LoudnessMeter();
    ~LoudnessMeter();
    LoudnessMeter(LoudnessMeter&&) noexcept;
    LoudnessMeter& operator=(LoudnessMeter&&) noexcept;
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    bool open(int sampleRate, QString* error);
    bool open(int sampleRate, int channels, QString* error);
    int sampleRate() const;

    // `count` frames, each of one sample per channel.
    bool add(const double* samples, qint64 count, QString* error);
    bool addSilence(qint64 count, QString* error);
    // `count` frames measured as a part of their own, as if between pauses: the silence around
    // it lets the blocks and filters holding it complete, and every part's blocks fall alike
    // whichever meter measures it and whatever it measured before, so parts spread over
    // meters in any order read as the same whole.
    bool addPart(const double* samples, qint64 count, QString* error);

    std::optional<LoudnessReading> reading(QString* error) const;
    // The reading of everything the meters were fed, as one signal; all at the same rate and
    // with the same channels.
    static std::optional<LoudnessReading> combined(const std::vector<const LoudnessMeter*>& meters,
                                                   QString* error);

private:
    struct State;
    std::unique_ptr<State> d;
};

enum class LoudnessOutcome {
    Reached,           // the gain brings the output to the target
    LimitedByTruePeak, // the gain was lowered to keep the true peak at the ceiling
    Silent,            // nothing to measure: the output stays as it is
};

struct LoudnessGain {
    double gainDb = 0.0;
    double factor = 1.0; // linear, applied to every sample
    LoudnessOutcome outcome = LoudnessOutcome::Reached;
    LoudnessReading result; // the reading after the gain
};

// The one gain that brings `measured` (taken at unity gain) to `targetLufs`, lowered where the
// true peak would rise above `truePeakCeilingDbtp`. Both loudness and true peak move by the
// gain in dB, so the output need not be measured again.
LoudnessGain loudnessGain(const LoudnessReading& measured, double targetLufs,
                          double truePeakCeilingDbtp);

// Measures a buffer held in memory and applies loudnessGain's gain to it.
std::optional<LoudnessGain> applyLoudnessTarget(AudioBuffer& buffer, double targetLufs,
                                                double truePeakCeilingDbtp, QString* error);

// The line that ends a run with a loudness target, newline included.
QString loudnessReport(const LoudnessGain& gain, double targetLufs, double truePeakCeilingDbtp);

} // namespace lyrane
