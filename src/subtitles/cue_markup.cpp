#include "subtitles/cue_markup.h"

#include "subtitles/character_references.h"
#include "subtitles/pauses.h"
#include "subtitles/subtitle_timestamps.h"

#include <algorithm>

namespace lyrane {

namespace {

bool isAsciiDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool isAsciiLetter(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
}

bool mayHoldMarkup(QStringView line) {
    return std::any_of(line.begin(), line.end(), [](QChar c) {
        return c == QLatin1Char('<') || c == QLatin1Char('&') || c == QLatin1Char('{') ||
               c == QLatin1Char('\\');
    });
}

// The letters of the codes subtitle editors put in braces: {y:i} (style), {c:$0000FF}
// (colour), {f:Arial} (font), {s:20} (size), {p:1} (position), {h:...} (charset), {o:...}.
bool isEditorCodeLetter(QChar c) {
    switch (c.toLower().unicode()) {
    case 'y':
    case 'c':
    case 'f':
    case 's':
    case 'p':
    case 'h':
    case 'o':
        return true;
    default:
        return false;
    }
}

// The voice span's annotation: "<v.loud Anna Smith>" gives "Anna Smith".
QString voiceName(QStringView tagBody, CueDialect dialect) {
    qsizetype space = 0;
    while (space < tagBody.size() && !tagBody[space].isSpace()) {
        ++space;
    }
    CueMarkupState ignored(dialect);
    return cleanCueLine(tagBody.mid(space).trimmed(), ignored, nullptr).simplified();
}

// Handles the tag between '<' and '>' (exclusive). A reading (<rt>) counts only inside <ruby>;
// elsewhere it is an unknown tag and its text is spoken.
void handleTag(QStringView body, CueMarkupState& state, QString* speaker) {
    const bool closing = body.startsWith(QLatin1Char('/'));
    const QStringView rest = closing ? body.mid(1) : body;
    qsizetype nameEnd = 0;
    while (nameEnd < rest.size() && rest[nameEnd] != QLatin1Char('.') && !rest[nameEnd].isSpace()) {
        ++nameEnd;
    }
    const QStringView name = rest.left(nameEnd);
    if (name == QLatin1String("ruby")) {
        state.inRuby = !closing;
        state.inRubyAnnotation = false;
    } else if (name == QLatin1String("rt")) {
        state.inRubyAnnotation = !closing && state.inRuby;
    } else if (!closing && name == QLatin1String("v") && speaker && speaker->isEmpty()) {
        *speaker = voiceName(rest, state.dialect);
    }
}

// The next `c` at or after `from`, remembered so that a line full of openers without their
// closer is still read in linear time.
class CloserSearch {
public:
    CloserSearch(QStringView line, QChar closer) : line(line), closer(closer) {}

    qsizetype from(qsizetype pos) {
        if (found != -1 && found < pos) {
            found = line.indexOf(closer, pos);
        } else if (found == -2) {
            found = line.indexOf(closer, pos);
        }
        return found;
    }

private:
    QStringView line;
    QChar closer;
    qsizetype found = -2; // -2: not searched yet, -1: none left
};

// In SRT a '<' opens a tag only before a letter or '/', or as an inline timestamp
// ("<00:00:01.000>"): "1 < 2", "<3" and "x<3 and y>5" are text.
bool mayOpenSrtTag(QStringView line, qsizetype at) {
    if (at + 1 >= line.size()) {
        return false;
    }
    const QChar next = line[at + 1];
    if (isAsciiDigit(next)) {
        const TimestampReading stamp = readTimestamp(line, at + 1, CueDialect::Srt);
        return stamp.status != TimestampStatus::Malformed && stamp.end < line.size() &&
               line[stamp.end] == QLatin1Char('>');
    }
    return isAsciiLetter(next) || next == QLatin1Char('/');
}

// The end of the editor code starting at line[at] == '{' ({\an8}, {y:i}), or `at` when
// there is none.
qsizetype editorCodeEnd(QStringView line, qsizetype at, CloserSearch& closers) {
    qsizetype bodyStart = -1;
    if (at + 1 < line.size() && line[at + 1] == QLatin1Char('\\')) {
        bodyStart = at + 2;
    } else if (at + 2 < line.size() && isEditorCodeLetter(line[at + 1]) &&
               line[at + 2] == QLatin1Char(':')) {
        bodyStart = at + 3;
    }
    const qsizetype close = bodyStart < 0 ? -1 : closers.from(bodyStart);
    return close < 0 ? at : close + 1;
}

} // namespace

QString cleanCueLine(QStringView line, CueMarkupState& state, QString* speaker) {
    if (!state.inRubyAnnotation && !state.inTag && !mayHoldMarkup(line)) {
        return line.toString();
    }
    QString out;
    out.reserve(line.size());
    const qsizetype size = line.size();
    CloserSearch tagEnd(line, QLatin1Char('>'));
    CloserSearch codeEnd(line, QLatin1Char('}'));
    qsizetype i = 0;
    if (state.inTag) {
        const qsizetype close = tagEnd.from(0);
        state.openTag += QLatin1Char(' ');
        state.openTag += (close < 0 ? line : line.left(close));
        if (close < 0) {
            return QString();
        }
        const QString body = std::move(state.openTag);
        state.openTag.clear();
        state.inTag = false;
        handleTag(body, state, speaker);
        i = close + 1;
    }
    for (; i < size; ++i) {
        const QChar c = line[i];
        if (c == QLatin1Char('<') &&
            (state.dialect == CueDialect::WebVtt || mayOpenSrtTag(line, i))) {
            const qsizetype close = tagEnd.from(i + 1);
            if (close >= 0) {
                const QStringView body = line.mid(i + 1, close - i - 1);
                // A pause is said by lyrane, not read: it stays for the narration to find.
                if (isPauseTag(body) && !state.inRubyAnnotation) {
                    out += QLatin1Char('<');
                    out += body;
                    out += QLatin1Char('>');
                }
                handleTag(body, state, speaker);
                i = close;
                continue;
            }
            if (state.dialect == CueDialect::WebVtt) {
                // Left open: the tag takes the rest of the cue.
                state.inTag = true;
                state.openTag = line.mid(i + 1).toString();
                break;
            }
        }
        if (state.inRubyAnnotation) {
            continue;
        }
        if (c == QLatin1Char('&')) {
            const qsizetype next = decodeCharacterReference(line, i, out);
            if (next != i) {
                i = next - 1;
                continue;
            }
        } else if (c == QLatin1Char('{')) {
            const qsizetype next = editorCodeEnd(line, i, codeEnd);
            if (next != i) {
                i = next - 1;
                continue;
            }
        } else if (c == QLatin1Char('\\') && i + 1 < size) {
            const char16_t escaped = line[i + 1].unicode();
            if (escaped == 'N' || escaped == 'n') {
                // A line break: one space between the words on either side.
                if (!out.endsWith(QLatin1Char(' '))) {
                    out.append(QLatin1Char(' '));
                }
                ++i;
                while (i + 1 < size && line[i + 1] == QLatin1Char(' ')) {
                    ++i;
                }
                continue;
            }
            if (escaped == 'h') { // a hard space
                out.append(QLatin1Char(' '));
                ++i;
                continue;
            }
        }
        out.append(c);
    }
    return out.trimmed();
}

} // namespace lyrane
