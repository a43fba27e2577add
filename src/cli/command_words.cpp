#include "cli/command_words.h"

#include <QDir>

#include <functional>

namespace lyrane {

namespace {

const QCommandLineOption* optionNamed(const QList<OptionRow>& rows, const QString& name) {
    for (const OptionRow& row : rows) {
        if (row.option.names().contains(name)) {
            return &row.option;
        }
    }
    return nullptr;
}

// Calls `value` with each option's value as given: the word it is in, and where it starts.
void forEachValue(
    const QStringList& arguments, const QList<OptionRow>& rows,
    const std::function<void(const QCommandLineOption&, qsizetype, qsizetype)>& value) {
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& word = arguments[i];
        if (word == QLatin1String("--") || !word.startsWith(QLatin1Char('-')) || word.size() < 2) {
            if (word == QLatin1String("--")) {
                return;
            }
            continue;
        }
        const bool isLong = word.startsWith(QLatin1String("--"));
        const qsizetype equals = isLong ? word.indexOf(QLatin1Char('=')) : -1;
        const QString name = isLong ? word.mid(2, equals < 0 ? -1 : equals - 2) : word.mid(1, 1);
        const QCommandLineOption* option = optionNamed(rows, name);
        if (!option || option->valueName().isEmpty()) {
            continue;
        }
        if (equals >= 0) {
            value(*option, i, equals + 1);
        } else if (!isLong && word.size() > 2) {
            value(*option, i, 2);
        } else if (i + 1 < arguments.size()) {
            // --serve's port is optional: an option after it is not its value.
            if (name == QLatin1String("serve") && arguments[i + 1].startsWith(QLatin1Char('-'))) {
                continue;
            }
            value(*option, i + 1, 0);
            ++i;
        }
    }
}

} // namespace

QStringList withServePort(const QStringList& arguments, const QList<OptionRow>& rows) {
    QList<qsizetype> values;
    forEachValue(arguments, rows, [&values](const QCommandLineOption&, qsizetype word, qsizetype) {
        values.append(word);
    });
    QStringList words;
    const qsizetype end = arguments.indexOf(QLatin1String("--"));
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (i == 0 || arguments[i] != QLatin1String("--serve") || values.contains(i) ||
            (end >= 0 && i > end)) {
            words.append(arguments[i]);
            continue;
        }
        const bool portFollows =
            i + 1 < arguments.size() && !arguments[i + 1].startsWith(QLatin1Char('-'));
        words.append(QStringLiteral("--serve=") + (portFollows ? arguments[++i] : QString()));
    }
    return words;
}

TypedCommand typedCommand(const QStringList& arguments, const QList<OptionRow>& rows) {
    TypedCommand command{arguments, {}, QDir::currentPath()};
    forEachValue(arguments, rows,
                 [&command](const QCommandLineOption& option, qsizetype word, qsizetype start) {
                     const QString kind = option.valueName();
                     if (kind == QLatin1String("file") || kind == QLatin1String("dir")) {
                         command.paths.insert(word, start);
                     }
                 });
    return command;
}

} // namespace lyrane
