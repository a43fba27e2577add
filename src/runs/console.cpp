#include "runs/console.h"

#include <cstdio>

namespace lyrane {

namespace {

void writeWhole(FILE* stream, const QString& message) {
    const QByteArray bytes = message.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

void printError(const QString& message) {
    writeWhole(stderr, message);
}

QString printFailure(const QString& message) {
    printError(message);
    return message.trimmed();
}

void printOutput(const QString& message) {
    writeWhole(stdout, message);
}

} // namespace lyrane
