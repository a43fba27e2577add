#include "subtitles/csv_records.h"

namespace lyrane {

bool CsvRecords::next(QStringList* fields) {
    fields->clear();
    ++record;
    recordLine = line;
    QString field;
    bool quoted = false;   // the field opened with a quote
    bool inQuotes = false; // and it has not closed yet
    const auto endField = [&] {
        fields->append(quoted ? field : field.trimmed());
        field.clear();
        quoted = false;
    };
    while (pos < text.size()) {
        const QChar c = text[pos++];
        if (inQuotes) {
            if (c == QLatin1Char('"')) {
                if (pos < text.size() && text[pos] == QLatin1Char('"')) {
                    field += c;
                    ++pos;
                } else {
                    inQuotes = false;
                }
                continue;
            }
            if (c == QLatin1Char('\n')) {
                ++line;
            }
            field += c;
        } else if (c == separator) {
            endField();
        } else if (c == QLatin1Char('\n')) {
            ++line;
            endField();
            return true;
        } else if (c == QLatin1Char('"') && !quoted && field.trimmed().isEmpty()) {
            quoted = true;
            inQuotes = true;
            field.clear();
        } else if (!quoted || !c.isSpace()) {
            // Text after a closing quote is kept, the spaces before a separator are not.
            field += c;
        }
    }
    if (inQuotes) {
        return false;
    }
    endField();
    return true;
}

QChar tableSeparator(QStringView headerLine) {
    return headerLine.contains(QLatin1Char('\t')) ? QLatin1Char('\t') : QLatin1Char(',');
}

} // namespace lyrane
