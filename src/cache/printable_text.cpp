#include "cache/printable_text.h"

#include <QList>

namespace lyrane {

namespace {

bool isHidden(uint c) {
    const bool control = c < 0x20 || (c >= 0x7f && c <= 0x9f);
    const bool separator = c == 0x2028 || c == 0x2029;
    // Embeddings, overrides and isolates reorder what follows them on the line.
    const bool reordering = (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069) ||
                            c == 0x200e || c == 0x200f || c == 0x061c;
    return control || separator || reordering;
}

} // namespace

QString printableText(const QString& text, int maxLength) {
    QString shown;
    int length = 0;
    for (const uint c : text.toUcs4()) {
        if (length == maxLength) {
            return shown + QStringLiteral("...");
        }
        ++length;
        if (!isHidden(c)) {
            const char32_t character = c;
            shown += QString::fromUcs4(&character, 1);
        } else if (c <= 0xff) {
            shown += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        } else {
            shown += QStringLiteral("\\u{%1}").arg(uint(c), 4, 16, QLatin1Char('0'));
        }
    }
    return shown;
}

} // namespace lyrane
