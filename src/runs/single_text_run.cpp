#include "runs/single_text_run.h"

#include "runs/console.h"
#include "runs/narration.h"
#include "runs/subtitle_run.h"
#include "synthesis/request_limits.h"
#include "synthesis/text_splitting.h"

#include <QFile>
#include <QObject>

namespace lyrane {

namespace {

// The trimmed text of a single-text run, from --say or the --text file; nothing on failure,
// having said why.
std::optional<QString> loadTextToSpeak(const SingleTextInput& input, QString* failure) {
    QString text;
    if (!input.text.isEmpty()) {
        text = input.text.trimmed();
    } else {
        QFile file(input.textFile);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            *failure =
                printFailure(QObject::tr("Failed to read text file: %1\n").arg(file.errorString()));
            return std::nullopt;
        }
        text = QString::fromUtf8(file.readAll()).trimmed();
    }
    if (text.isEmpty()) {
        *failure = printFailure(QObject::tr("Text is empty\n"));
        return std::nullopt;
    }
    return text;
}

// A single text is one cue, with the context given on the command line; a text over the
// model's limit is several, played one after the other, each sent with its neighbours.
NarrationOutcome narrateText(NarrationSession& session, CostGate& gate) {
    const RunConfiguration& config = session.config;
    QString failure;
    const std::optional<QString> text = loadTextToSpeak(config.single, &failure);
    if (!text) {
        return NarrationOutcome::failed(failure);
    }
    const TtsRequest whole =
        makeRequest(config.synthesis, *text, config.single.previousText, config.single.nextText);
    NarrationInput input;
    input.layout = CueLayout::BackToBack;
    input.wording = &singleTextWording();
    for (const QString& part : splitTextForRequests(*text, requestCharacterLimit(whole))) {
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
        priceInput(session, input);
        return {};
    }
    return narrate(session, input, gate);
}

} // namespace

int runSingleText(const RunConfiguration& config) {
    NarrationSession session(config);
    BudgetAndAccountGate gate(config);
    const NarrationOutcome outcome = narrateText(session, gate);
    recordFailure(session.report, outcome, QString());
    if (!writeReportIfAsked(config, session.report)) {
        return 1;
    }
    return outcome.exitStatus();
}

} // namespace lyrane
