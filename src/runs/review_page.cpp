#include "runs/review_page.h"

#include <QDir>
#include <QFileInfo>
#include <QObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace lyrane {

namespace {

constexpr double kWidth = 1000.0;
constexpr int kEnvelopePoints = 2000;

QString esc(const QString& text) {
    return text.toHtmlEscaped();
}

QString seconds(qint64 ms) {
    return QStringLiteral("%1:%2.%3")
        .arg(ms / 60000)
        .arg(ms / 1000 % 60, 2, 10, QLatin1Char('0'))
        .arg(ms % 1000, 3, 10, QLatin1Char('0'));
}

QString x(qint64 ms, qint64 totalMs) {
    return QString::number(double(ms) * kWidth / double(std::max<qint64>(totalMs, 1)), 'f', 1);
}

// The envelope as a path over the timeline's width, at most kEnvelopePoints, louder upwards.
QString envelopePath(const QList<float>& envelope) {
    if (envelope.isEmpty()) {
        return QString();
    }
    const qsizetype per = (envelope.size() + kEnvelopePoints - 1) / kEnvelopePoints;
    QString path = QStringLiteral("M0,60");
    for (qsizetype start = 0; start < envelope.size(); start += per) {
        float loudest = 0.0F;
        for (qsizetype i = start; i < std::min(envelope.size(), start + per); ++i) {
            loudest = std::max(loudest, envelope[i]);
        }
        // -60 dBFS at the bottom, 0 at the top.
        const double db =
            loudest > 0.0F ? std::clamp(20.0 * std::log10(loudest), -60.0, 0.0) : -60.0;
        path += QStringLiteral(" L%1,%2")
                    .arg(double(start) * kWidth / double(envelope.size()), 0, 'f', 1)
                    .arg(-db, 0, 'f', 1);
    }
    return path + QStringLiteral(" L%1,60 Z").arg(kWidth);
}

QString timelineSvg(const ReviewPageInput& input, qint64 totalMs) {
    QString svg =
        QStringLiteral("<svg id=\"timeline\" viewBox=\"0 0 1000 150\" preserveAspectRatio=\"none\" "
                       "xmlns=\"http://www.w3.org/2000/svg\">\n");
    for (const ReportCue& cue : input.report->cues) {
        const QString slotX = x(cue.startMs, totalMs);
        svg += QStringLiteral("<rect class=\"slot\" x=\"%1\" y=\"10\" width=\"%2\" height=\"30\">"
                              "<title>Cue %3: %4 - %5</title></rect>\n")
                   .arg(slotX, x(cue.endMs - cue.startMs, totalMs))
                   .arg(cue.number)
                   .arg(seconds(cue.startMs), seconds(cue.endMs));
        if (!cue.placement) {
            continue;
        }
        QStringList classes{QStringLiteral("clip")};
        if (cue.placement->delayMs > 0) {
            classes.append(QStringLiteral("delayed"));
        }
        if (cue.placement->speedUp > 1.0) {
            classes.append(QStringLiteral("sped"));
        }
        if (!cue.flags.isEmpty()) {
            classes.append(QStringLiteral("flagged"));
        }
        svg += QStringLiteral("<a href=\"#cue-%1\"><rect class=\"%2\" x=\"%3\" y=\"45\" "
                              "width=\"%4\" height=\"30\"><title>Cue %1 plays %5 - %6</title>"
                              "</rect></a>\n")
                   .arg(cue.number)
                   .arg(classes.join(QLatin1Char(' ')), x(cue.placement->actualStartMs, totalMs),
                        x(cue.placement->actualEndMs - cue.placement->actualStartMs, totalMs),
                        seconds(cue.placement->actualStartMs), seconds(cue.placement->actualEndMs));
        if (cue.placement->delayMs > 0) {
            svg +=
                QStringLiteral("<line class=\"push\" x1=\"%1\" y1=\"40\" x2=\"%2\" y2=\"45\"/>\n")
                    .arg(slotX, x(cue.placement->actualStartMs, totalMs));
        }
    }
    const QString envelope = envelopePath(input.envelope);
    if (!envelope.isEmpty()) {
        svg += QStringLiteral("<g transform=\"translate(0,85)\"><path class=\"envelope\" "
                              "d=\"%1\"/></g>\n")
                   .arg(envelope);
    }
    return svg + QStringLiteral("</svg>\n");
}

// The take a cue plays; served live, with a button for each other take.
QString takeCell(const ReportCue& cue, const ReviewPageInput& input, bool busy) {
    if (!input.live) {
        return QStringLiteral("<td>%1 of %2</td>").arg(cue.take).arg(cue.takes);
    }
    QString cell = QStringLiteral("<td class=\"take\">take %1 of %2").arg(cue.take).arg(cue.takes);
    for (int take = 1; cue.takes > 1 && take <= cue.takes; ++take) {
        if (take != cue.take) {
            cell += QStringLiteral("<br><button data-action=\"take\" data-cue=\"%1\" "
                                   "data-take=\"%2\"%3>Use take %2</button>")
                        .arg(cue.number)
                        .arg(take)
                        .arg(busy ? QStringLiteral(" disabled") : QString());
        }
    }
    return cell + QStringLiteral("</td>");
}

QString clipAddress(const ReportCue& cue, const ReviewPageInput& input) {
    if (cue.clipFile.isEmpty() || !QFileInfo::exists(cue.clipFile)) {
        return QString();
    }
    if (input.live) {
        return input.live->clipAddress ? input.live->clipAddress(cue.clipFile) : QString();
    }
    return QString::fromLatin1(QUrl::toPercentEncoding(
        QDir(input.pageDirectory).relativeFilePath(QFileInfo(cue.clipFile).absoluteFilePath()),
        "/"));
}

// Served live: the cue's actions, and what became of the last one.
QString actionsCell(const ReportCue& cue, const LiveCueState& state) {
    const QString disabled = state.busy ? QStringLiteral(" disabled") : QString();
    const qint64 startMs = cue.placement ? cue.placement->desiredStartMs : cue.startMs;
    QString cell = QStringLiteral("<td class=\"actions\"><button data-action=\"retake\" "
                                  "data-cue=\"%1\"%2>Retake</button> <button "
                                  "data-action=\"play-from\" data-at=\"%3\">Play from here"
                                  "</button>")
                       .arg(cue.number)
                       .arg(disabled, QString::number(double(startMs) / 1000.0, 'f', 3));
    if (state.busy) {
        cell += QStringLiteral("<br><span class=\"state\">Working&hellip;</span>");
    } else if (!state.failure.isEmpty()) {
        cell += QStringLiteral("<br><span class=\"failure\">%1</span>").arg(esc(state.failure));
    }
    return cell + QStringLiteral("</td>");
}

// The last step of a page's length: the output's, or the last cue's end or clip's.
qint64 pageLengthMs(const ReviewPageInput& input) {
    qint64 totalMs = input.lengthMs;
    for (const ReportCue& cue : input.report->cues) {
        totalMs = std::max({totalMs, cue.endMs, cue.placement ? cue.placement->actualEndMs : 0});
    }
    return totalMs;
}

const char* const kStyle =
    "body{font:14px sans-serif;margin:1em 2em;color:#222}"
    "table{border-collapse:collapse;width:100%}td,th{border-bottom:1px solid #ddd;padding:4px;"
    "text-align:left;vertical-align:top}tr.flagged{background:#fff3e0}"
    "#timeline{width:100%;height:160px;background:#fafafa;border:1px solid #ccc}"
    ".slot{fill:#cfd8dc}.clip{fill:#4caf50}.clip.delayed{fill:#ff9800}.clip.sped{fill:#2196f3}"
    ".clip.flagged{stroke:#d50000;stroke-width:1.5}.push{stroke:#ff9800}"
    ".envelope{fill:#9575cd}.flag{display:block;color:#b71c1c}code{font-size:12px}"
    "dl{display:grid;grid-template-columns:max-content auto;gap:2px 1em}dd{margin:0}";

const char* const kLiveStyle =
    "tr.busy{opacity:.6}.failure{color:#b71c1c}.state{color:#555}button{margin:1px 0}"
    "td.take,td.actions{white-space:nowrap}"
    "#player audio{width:60%;vertical-align:middle}";

} // namespace

QStringList rerunArguments(const QStringList& arguments, const QStringList& extra) {
    QStringList out;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (i > 0 &&
            (argument == QLatin1String("--retake") || argument == QLatin1String("--take"))) {
            ++i; // and its value
            continue;
        }
        // --serve takes a port only when one follows it.
        if (i > 0 && argument == QLatin1String("--serve")) {
            if (i + 1 < arguments.size() && !arguments[i + 1].startsWith(QLatin1Char('-'))) {
                ++i;
            }
            continue;
        }
        if (i > 0 && (argument.startsWith(QLatin1String("--retake=")) ||
                      argument.startsWith(QLatin1String("--take=")) ||
                      argument.startsWith(QLatin1String("--serve=")) ||
                      argument == QLatin1String("--dry-run") || argument == QLatin1String("-n"))) {
            continue;
        }
        out.append(argument);
    }
    return out + extra;
}

QString shellCommand(const QStringList& arguments) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./=,:@%+-]+$"));
    QStringList words;
    for (const QString& argument : arguments) {
        if (plain.match(argument).hasMatch()) {
            words.append(argument);
        } else {
            QString quoted = argument;
            quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
            words.append(QLatin1Char('\'') + quoted + QLatin1Char('\''));
        }
    }
    return words.join(QLatin1Char(' '));
}

QString reviewSummaryHtml(const ReviewPageInput& input) {
    const RunReport& report = *input.report;
    int flagged = 0;
    for (const ReportCue& cue : report.cues) {
        flagged += cue.flags.isEmpty() ? 0 : 1;
    }
    QString html =
        QStringLiteral("<dl id=\"settings\"><dt>Voice</dt><dd>%1</dd><dt>Model</dt><dd>%2</dd>"
                       "<dt>Format</dt><dd>%3</dd><dt>Speed</dt><dd>%4</dd>"
                       "<dt>Cues</dt><dd>%5</dd><dt>Flagged</dt><dd>%6</dd>"
                       "<dt>New clips</dt><dd>%7</dd><dt>Characters billed</dt><dd>%8</dd>"
                       "<dt>Length</dt><dd>%9</dd>")
            .arg(esc(report.settings.voice), esc(report.settings.voiceSettings.modelId),
                 esc(report.settings.format), QString::number(report.settings.speed),
                 QString::number(report.cues.size()), QString::number(flagged),
                 QString::number(report.totals.newClips),
                 QString::number(report.totals.charactersBilled), seconds(pageLengthMs(input)));
    for (const ReportOutput& output : report.outputs) {
        html += QStringLiteral("<dt>Output</dt><dd>%1</dd>").arg(esc(output.file));
    }
    return html + QStringLiteral("</dl>\n");
}

QString reviewTimelineHtml(const ReviewPageInput& input) {
    return timelineSvg(input, pageLengthMs(input));
}

QString reviewCueRowHtml(const ReviewPageInput& input, const ReportCue& cue) {
    const LiveCueState state = input.live ? input.live->cues.value(cue.number) : LiveCueState();
    QString row =
        QStringLiteral("<tr id=\"cue-%1\" class=\"cue%2\"><td>%1</td><td>%3 - %4</td><td>%5</td>")
            .arg(cue.number)
            .arg((cue.flags.isEmpty() ? QString() : QStringLiteral(" flagged")) +
                     (state.busy ? QStringLiteral(" busy") : QString()),
                 seconds(cue.startMs), seconds(cue.endMs),
                 cue.placement ? seconds(cue.placement->actualStartMs) + QStringLiteral(" - ") +
                                     seconds(cue.placement->actualEndMs)
                               : QStringLiteral("&ndash;"));
    row += QStringLiteral("<td>%1</td><td>%2</td>").arg(esc(cue.speaker), esc(cue.text));
    row += takeCell(cue, input, state.busy) + QStringLiteral("<td>");
    const QString clip = clipAddress(cue, input);
    if (!clip.isEmpty()) {
        row +=
            QStringLiteral("<audio controls preload=\"none\" src=\"%1\"></audio>").arg(esc(clip));
    }
    row += QStringLiteral("</td><td>");
    for (const CueFlag& flag : cue.flags) {
        row += QStringLiteral("<span class=\"flag\">%1</span> ").arg(esc(describeCueFlag(flag)));
    }
    const QString number = QString::number(cue.number);
    row += QStringLiteral("</td><td><code>%1</code>")
               .arg(esc(shellCommand(
                   rerunArguments(input.command, {QStringLiteral("--retake"), number}))));
    for (int take = 1; cue.takes > 1 && take <= cue.takes; ++take) {
        if (take == cue.take) {
            continue;
        }
        row += QStringLiteral("<br><code>%1</code>")
                   .arg(esc(shellCommand(rerunArguments(
                       input.command, {QStringLiteral("--take"),
                                       number + QLatin1Char('=') + QString::number(take)}))));
    }
    row += QStringLiteral("</td>");
    if (input.live) {
        row += actionsCell(cue, state);
    }
    return row + QStringLiteral("</tr>\n");
}

QByteArray reviewPageHtml(const ReviewPageInput& input) {
    const RunReport& report = *input.report;
    const LivePageParts* live = input.live;
    QString html = QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                                  "<title>lyrane review</title><style>%1</style></head><body%2>\n")
                       .arg(QLatin1String(kStyle) + QLatin1String(live ? kLiveStyle : ""),
                            live ? QStringLiteral(" data-generation=\"%1\"").arg(live->generation)
                                 : QString());
    html += QStringLiteral("<h1>Narration review%1</h1>\n")
                .arg(report.dryRun ? QStringLiteral(" (dry run)") : QString());
    if (live && !live->narrationAddress.isEmpty()) {
        html += QStringLiteral("<p id=\"player\">The narration: <audio id=\"narration\" controls "
                               "preload=\"none\" src=\"%1\"></audio></p>\n")
                    .arg(esc(live->narrationAddress));
    }
    html += reviewSummaryHtml(input);
    html += QStringLiteral("<h2>Timeline</h2>\n");
    html += reviewTimelineHtml(input);
    html += QStringLiteral("<p>Grey: the cues' slots; green: where each clip plays (orange: "
                           "pushed later, blue: sped up, red outline: flagged); purple: the "
                           "narration's level.</p>\n<h2>Cues</h2>\n<table id=\"cues\"><thead><tr>"
                           "<th>#</th><th>Asked</th><th>Plays</th><th>Speaker</th><th>Text</th>"
                           "<th>Take</th><th>Clip</th><th>Flags</th><th>Commands</th>%1</tr>"
                           "</thead><tbody>\n")
                .arg(live ? QStringLiteral("<th>Actions</th>") : QString());
    for (const ReportCue& cue : report.cues) {
        html += reviewCueRowHtml(input, cue);
    }
    html += QStringLiteral("</tbody></table>\n");
    if (live) {
        html += QStringLiteral("<script>%1</script>\n").arg(live->script);
    }
    html += QStringLiteral("</body></html>\n");
    return html.toUtf8();
}

bool writeReviewPage(const QString& path, ReviewPageInput input, QString* error) {
    QSaveFile file(path);
    input.pageDirectory = QFileInfo(path).absoluteDir().path();
    const QByteArray html = reviewPageHtml(input);
    if (!file.open(QIODevice::WriteOnly) || file.write(html) != html.size() || !file.commit()) {
        *error =
            QObject::tr("failed to write the review page %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace lyrane
