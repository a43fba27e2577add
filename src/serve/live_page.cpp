#include "serve/live_page.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace lyrane {

LivePage::LivePage(QStringList command, LivePageParts parts)
    : command(std::move(command)), parts(std::move(parts)),
      narrationBase(this->parts.narrationAddress) {}

ReviewPageInput LivePage::input() const {
    ReviewPageInput page;
    page.report = &report;
    page.envelope = envelope;
    page.lengthMs = lengthMs;
    page.command = command;
    page.live = &parts;
    return page;
}

void LivePage::set(Part& part, const QString& html) {
    if (part.html != html || part.generation == 0) {
        part.html = html;
        part.generation = pending;
        latest = pending;
    }
}

void LivePage::show(const RunReport& shown, const PlacedTimeline& placed,
                    const QHash<qint64, LiveCueState>& states, bool rewritten) {
    report = shown;
    envelope = placed.envelope;
    lengthMs = placed.lengthMs;
    parts.cues = states;
    if (rewritten || narrationVersion == 0) {
        ++narrationVersion;
    }
    if (!narrationBase.isEmpty()) {
        parts.narrationAddress = narrationBase + QStringLiteral("?v=%1").arg(narrationVersion);
    }
    pending = latest + 1;
    const ReviewPageInput page = input();
    set(summary, reviewSummaryHtml(page));
    set(timeline, reviewTimelineHtml(page));
    set(narration, parts.narrationAddress);
    rows.resize(report.cues.size());
    rowOf.clear();
    for (qsizetype i = 0; i < report.cues.size(); ++i) {
        rowOf.insert(report.cues[i].number, i);
        set(rows[i], reviewCueRowHtml(page, report.cues[i]));
    }
}

void LivePage::showCueState(qint64 number, const LiveCueState& state) {
    const auto row = rowOf.constFind(number);
    if (row == rowOf.constEnd()) {
        return;
    }
    parts.cues.insert(number, state);
    pending = latest + 1;
    set(rows[*row], reviewCueRowHtml(input(), report.cues[*row]));
}

QByteArray LivePage::html() const {
    LivePageParts now = parts;
    now.generation = latest;
    ReviewPageInput page = input();
    page.live = &now;
    return reviewPageHtml(page);
}

QByteArray LivePage::changesSince(qint64 generation) const {
    QJsonObject changes{{QStringLiteral("generation"), latest}};
    QJsonArray changedRows;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (rows[i].generation > generation) {
            changedRows.append(QJsonObject{{QStringLiteral("cue"), report.cues[i].number},
                                           {QStringLiteral("html"), rows[i].html}});
        }
    }
    changes.insert(QStringLiteral("rows"), changedRows);
    const QList<std::pair<QString, const Part*>> named{{QStringLiteral("summary"), &summary},
                                                       {QStringLiteral("timeline"), &timeline},
                                                       {QStringLiteral("narration"), &narration}};
    for (const auto& [name, part] : named) {
        if (part->generation > generation) {
            changes.insert(name, part->html);
        }
    }
    return QJsonDocument(changes).toJson(QJsonDocument::Compact);
}

} // namespace lyrane
