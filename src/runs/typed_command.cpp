#include "runs/typed_command.h"

#include <QCoreApplication>
#include <QDir>

namespace lyrane {

namespace {

// A file's name as typed in `typedIn`, named for a command typed in `page`. No absolute name
// appears that was not typed: pages travel with their files.
QString nameFrom(const QString& typed, const QDir& typedIn, const QDir& page) {
    if (typed.isEmpty()) {
        return typed;
    }
    const QString absolute = QDir::cleanPath(typedIn.absoluteFilePath(typed));
    const QString relative = page.relativeFilePath(absolute);
    const bool inside =
        relative != QLatin1String("..") && !relative.startsWith(QLatin1String("../"));
    if (inside || (QDir::isRelativePath(typed) && typedIn != page)) {
        return relative;
    }
    return typed;
}

} // namespace

TypedCommand TypedCommand::ofProcess() {
    return {QCoreApplication::arguments(), {}, QDir::currentPath()};
}

QStringList commandFromDirectory(const TypedCommand& command, const QString& pageDirectory) {
    QStringList words = command.arguments;
    if (pageDirectory.isEmpty() || words.isEmpty()) {
        return words;
    }
    const QDir typedIn(command.directory);
    const QDir page(pageDirectory);
    // A program named by its path is a file too; one found on PATH stays a bare name.
    if (words.first().contains(QLatin1Char('/'))) {
        QString program = nameFrom(words.first(), typedIn, page);
        words.first() =
            program.contains(QLatin1Char('/')) ? program : QStringLiteral("./") + program;
    }
    for (auto it = command.paths.begin(); it != command.paths.end(); ++it) {
        if (it.key() <= 0 || it.key() >= words.size()) {
            continue;
        }
        QString& word = words[it.key()];
        word = word.left(it.value()) + nameFrom(word.mid(it.value()), typedIn, page);
    }
    return words;
}

} // namespace lyrane
