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

QString cueRow(const ReportCue& cue, const ReviewPageInput& input, const QDir& pageDirectory) {
    QString row =
        QStringLiteral("<tr id=\"cue-%1\" class=\"cue%2\"><td>%1</td><td>%3 - %4</td><td>%5</td>")
            .arg(cue.number)
            .arg(cue.flags.isEmpty() ? QString() : QStringLiteral(" flagged"), seconds(cue.startMs),
                 seconds(cue.endMs),
                 cue.placement ? seconds(cue.placement->actualStartMs) + QStringLiteral(" - ") +
                                     seconds(cue.placement->actualEndMs)
                               : QStringLiteral("&ndash;"));
    row += QStringLiteral("<td>%1</td><td>%2</td><td>%3 of %4</td>")
               .arg(esc(cue.speaker), esc(cue.text))
               .arg(cue.take)
               .arg(cue.takes);
    row += QStringLiteral("<td>");
    if (!cue.clipFile.isEmpty() && QFileInfo::exists(cue.clipFile)) {
        row += QStringLiteral("<audio controls preload=\"none\" src=\"%1\"></audio>")
                   .arg(esc(QString::fromLatin1(QUrl::toPercentEncoding(
                       pageDirectory.relativeFilePath(QFileInfo(cue.clipFile).absoluteFilePath()),
                       "/"))));
    }
    row += QStringLiteral("</td><td>");
    for (const CueFlag& flag : cue.flags) {
        row += QStringLiteral("<span class=\"flag\">%1</span> ").arg(esc(describeCueFlag(flag)));
    }
    const QString number = QString::number(cue.number);
    row += QStringLiteral("</td><td><code>%1</code>")
               .arg(esc(shellCommand(
                   rerunArguments(input.arguments, {QStringLiteral("--retake"), number}))));
    for (int take = 1; cue.takes > 1 && take <= cue.takes; ++take) {
        if (take == cue.take) {
            continue;
        }
        row += QStringLiteral("<br><code>%1</code>")
                   .arg(esc(shellCommand(rerunArguments(
                       input.arguments, {QStringLiteral("--take"),
                                         number + QLatin1Char('=') + QString::number(take)}))));
    }
    return row + QStringLiteral("</td></tr>\n");
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
        if (i > 0 && (argument.startsWith(QLatin1String("--retake=")) ||
                      argument.startsWith(QLatin1String("--take=")) ||
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

QByteArray reviewPageHtml(const ReviewPageInput& input, const QString& pageDirectory) {
    const RunReport& report = *input.report;
    qint64 totalMs = input.lengthMs;
    int flagged = 0;
    for (const ReportCue& cue : report.cues) {
        totalMs = std::max({totalMs, cue.endMs, cue.placement ? cue.placement->actualEndMs : 0});
        flagged += cue.flags.isEmpty() ? 0 : 1;
    }
    QString html = QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                                  "<title>lyrane review</title><style>%1</style></head><body>\n")
                       .arg(QLatin1String(kStyle));
    html += QStringLiteral("<h1>Narration review%1</h1>\n")
                .arg(report.dryRun ? QStringLiteral(" (dry run)") : QString());
    html += QStringLiteral("<dl id=\"settings\"><dt>Voice</dt><dd>%1</dd><dt>Model</dt><dd>%2</dd>"
                           "<dt>Format</dt><dd>%3</dd><dt>Speed</dt><dd>%4</dd>"
                           "<dt>Cues</dt><dd>%5</dd><dt>Flagged</dt><dd>%6</dd>"
                           "<dt>New clips</dt><dd>%7</dd><dt>Characters billed</dt><dd>%8</dd>"
                           "<dt>Length</dt><dd>%9</dd>")
                .arg(esc(report.settings.voice), esc(report.settings.voiceSettings.modelId),
                     esc(report.settings.format), QString::number(report.settings.speed),
                     QString::number(report.cues.size()), QString::number(flagged),
                     QString::number(report.totals.newClips),
                     QString::number(report.totals.charactersBilled), seconds(totalMs));
    for (const ReportOutput& output : report.outputs) {
        html += QStringLiteral("<dt>Output</dt><dd>%1</dd>").arg(esc(output.file));
    }
    html += QStringLiteral("</dl>\n<h2>Timeline</h2>\n");
    html += timelineSvg(input, totalMs);
    html += QStringLiteral("<p>Grey: the cues' slots; green: where each clip plays (orange: "
                           "pushed later, blue: sped up, red outline: flagged); purple: the "
                           "narration's level.</p>\n<h2>Cues</h2>\n<table id=\"cues\"><thead><tr>"
                           "<th>#</th><th>Asked</th><th>Plays</th><th>Speaker</th><th>Text</th>"
                           "<th>Take</th><th>Clip</th><th>Flags</th><th>Commands</th></tr>"
                           "</thead><tbody>\n");
    const QDir directory(pageDirectory);
    for (const ReportCue& cue : report.cues) {
        html += cueRow(cue, input, directory);
    }
    html += QStringLiteral("</tbody></table>\n</body></html>\n");
    return html.toUtf8();
}

bool writeReviewPage(const QString& path, const ReviewPageInput& input, QString* error) {
    QSaveFile file(path);
    const QByteArray html = reviewPageHtml(input, QFileInfo(path).absoluteDir().path());
    if (!file.open(QIODevice::WriteOnly) || file.write(html) != html.size() || !file.commit()) {
        *error =
            QObject::tr("failed to write the review page %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace lyrane
