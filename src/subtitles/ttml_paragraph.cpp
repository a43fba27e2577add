#include "subtitles/ttml_paragraph.h"

#include <QStringList>

namespace lyrane {

namespace {

// XML's white space; other spaces (no-break, ideographic) are text.
bool isXmlSpace(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
           c == QLatin1Char('\r');
}

} // namespace

void TtmlParagraph::addCharacters(QStringView characters, bool preserve) {
    for (const QChar c : characters) {
        if (preserve) {
            text += c == QLatin1Char('\r') ? QLatin1Char('\n') : c;
            afterCollapsibleSpace = false;
        } else if (!isXmlSpace(c)) {
            text += c;
            afterCollapsibleSpace = false;
        } else if (!afterCollapsibleSpace) {
            text += QLatin1Char(' ');
            afterCollapsibleSpace = true;
        }
    }
}

void TtmlParagraph::addLineBreak() {
    text += QLatin1Char('\n');
    afterCollapsibleSpace = true;
}

QString TtmlParagraph::spokenText() const {
    QStringList lines;
    for (const QStringView line : QStringView(text).split(QLatin1Char('\n'))) {
        const QStringView trimmed = line.trimmed();
        if (!trimmed.isEmpty()) {
            lines << trimmed.toString();
        }
    }
    return lines.join(QLatin1Char(' '));
}

} // namespace lyrane
