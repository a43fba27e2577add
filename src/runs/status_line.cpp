#include "runs/status_line.h"

#include "runs/console.h"

#include <QObject>

#include <cstdio>
#include <unistd.h>

namespace lyrane {

namespace {

constexpr qint64 kRedrawMs = 100;

QString duration(qint64 ms) {
    const qint64 s = ms / 1000;
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

StatusLine::StatusLine(int total) : total(total) {
    elapsed.start();
}

StatusLine::~StatusLine() {
    // The last figures stay on screen.
    if (shown) {
        printError(QStringLiteral("\r\x1b[K") + text() + QLatin1Char('\n'));
    }
}

bool StatusLine::isTerminal() {
    return isatty(fileno(stderr)) != 0;
}

void StatusLine::clipReady(ClipTier tier, qint64 billed) {
    ++done;
    (tier == ClipTier::Cache ? fromCache : tier == ClipTier::Mirror ? fromMirror : fromService)++;
    characters += billed;
    draw(done == total);
}

QString StatusLine::text() const {
    const qint64 ms = elapsed.elapsed();
    const QString left =
        done > 0 && done < total ? duration(ms * (total - done) / done) : QStringLiteral("-");
    return QObject::tr("Cues %1/%2 (cache %3, mirror %4, service %5), %6 characters billed, "
                       "%7 elapsed, %8 left")
        .arg(done)
        .arg(total)
        .arg(fromCache)
        .arg(fromMirror)
        .arg(fromService)
        .arg(characters)
        .arg(duration(ms), left);
}

void StatusLine::draw(bool now) {
    const qint64 ms = elapsed.elapsed();
    if (!now && drawnAtMs >= 0 && ms - drawnAtMs < kRedrawMs) {
        return;
    }
    drawnAtMs = ms;
    shown = true;
    printError(QStringLiteral("\r\x1b[K") + text());
}

void StatusLine::clear() {
    if (shown) {
        printError(QStringLiteral("\r\x1b[K"));
        shown = false;
        drawnAtMs = -1;
    }
}

} // namespace lyrane
