#include "runs/single_text_run.h"

#include "runs/narration.h"
#include "runs/subtitle_run.h"
#include "subtitles/pauses.h"
#include "synthesis/request_limits.h"
#include "synthesis/text_splitting.h"

#include <QFile>
#include <QObject>

namespace lyrane {

namespace {

// The trimmed text of a single-text run, from --say or the --text file; nothing on failure,
// having said why.
std::optional<QString> loadTextToSpeak(const SingleTextInput& input, NarrationOutcome* failure) {
    const auto failed = [failure](const QString& line) {
        *failure = NarrationOutcome::failedWith(RunFailure::Kind::Input, line);
        return std::nullopt;
    };
    QString text;
    if (!input.text.isEmpty()) {
        text = input.text.trimmed();
    } else {
        QFile file(input.textFile);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            return failed(QObject::tr("Failed to read text file: %1\n").arg(file.errorString()));
        }
        text = QString::fromUtf8(file.readAll()).trimmed();
    }
    if (text.isEmpty()) {
        return failed(QObject::tr("Text is empty\n"));
    }
    return text;
}

// The text's pieces between its pauses, each cut to the model's limit: a piece after a pause
// starts with that pause, which the narration makes as silence before it.
std::optional<QStringList> textParts(const QString& text, qsizetype limit,
                                     NarrationOutcome* failure) {
    if (!mayHoldPause(text)) {
        return splitTextForRequests(text, limit);
    }
    QString problem;
    const std::optional<PausedText> paused = readPauses(text, &problem);
    if (!paused) {
        *failure = NarrationOutcome::failedWith(RunFailure::Kind::Input,
                                                QObject::tr("Text: %1\n").arg(problem));
        return std::nullopt;
    }
    const auto pause = [](int ms) {
        return ms > 0 ? QStringLiteral("<break time=\"%1ms\"/>").arg(ms) : QString();
    };
    QStringList parts;
    for (qsizetype k = 0; k < paused->parts.size(); ++k) {
        const QStringList pieces = splitTextForRequests(paused->parts[k], limit);
        for (qsizetype j = 0; j < pieces.size(); ++j) {
            parts.append(j == 0 ? pause(paused->pausesMs[k]) + pieces[j] : pieces[j]);
        }
    }
    if (!parts.isEmpty()) {
        parts.last() += pause(paused->pausesMs.last());
    }
    return parts;
}

// A single text is one cue, with the context given on the command line; a text over the
// model's limit is several, played one after the other, each sent with its neighbours.
NarrationOutcome narrateText(NarrationSession& session, CostGate& gate) {
    const RunConfiguration& config = session.config;
    NarrationOutcome failure;
    const std::optional<QString> text = loadTextToSpeak(config.single, &failure);
    if (!text) {
        return failure;
    }
    const TtsRequest whole =
        makeRequest(config.synthesis, *text, config.single.previousText, config.single.nextText);
    NarrationInput input;
    input.layout = CueLayout::BackToBack;
    input.wording = &singleTextWording();
    const std::optional<QStringList> parts =
        textParts(*text, requestCharacterLimit(whole), &failure);
    if (!parts) {
        return failure;
    }
    for (const QString& part : *parts) {
        Cue cue;
        cue.text = part;
        input.cues.append(cue);
    }
    input.count = int(input.cues.size());
    input.leadingContext = config.single.previousText;
    input.trailingContext = config.single.nextText;
    input.outputFile = config.outputFile;
    // A dry run prices the text and pays for nothing.
    if (config.dryRun) {
        const std::optional<NarrationPlan> plan = planDryRun(session, input, &failure);
        if (!plan) {
            return failure;
        }
        sayDryRunCost(session, *plan);
        return {};
    }
    return narrate(session, input, gate);
}

} // namespace

int runSingleText(const RunConfiguration& config, RunContext context) {
    NarrationSession session(config, context);
    BudgetAndAccountGate gate(config);
    NarrationOutcome outcome = narrateText(session, gate);
    sayFailure(context.console, outcome);
    recordFailure(session.report, outcome, QString());
    if (!writeReportIfAsked(config, session.report, context.console)) {
        return 1;
    }
    return outcome.exitStatus();
}

} // namespace lyrane
