#include "service_answer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

namespace lyrane::speechd {

Answer errorAnswer(int status, const char* code, const QString& message) {
    const QJsonObject detail{{QStringLiteral("status"), QString::fromLatin1(code)},
                             {QStringLiteral("message"), message}};
    return {status,
            QByteArrayLiteral("application/json"),
            QJsonDocument(QJsonObject{{QStringLiteral("detail"), detail}})
                .toJson(QJsonDocument::Compact),
            {}};
}

Answer validationAnswer(const QStringList& location, const QString& message, const char* type,
                        const QJsonValue& input) {
    QJsonArray loc{QStringLiteral("body")};
    for (const QString& part : location)
        loc.append(part);
    const QJsonObject problem{{QStringLiteral("loc"), loc},
                              {QStringLiteral("msg"), message},
                              {QStringLiteral("type"), QString::fromLatin1(type)},
                              {QStringLiteral("input"), input}};
    return {422,
            QByteArrayLiteral("application/json"),
            QJsonDocument(QJsonObject{{QStringLiteral("detail"), QJsonArray{problem}}})
                .toJson(QJsonDocument::Compact),
            {}};
}

Answer jsonAnswer(const QJsonObject& object) {
    return {200,
            QByteArrayLiteral("application/json"),
            QJsonDocument(object).toJson(QJsonDocument::Compact),
            {}};
}

} // namespace lyrane::speechd
