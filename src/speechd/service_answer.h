#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace lyrane::speechd {

// One HTTP answer of the offline service.
struct Answer {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers; // besides Content-Type and Content-Length
};

// The service's error body: {"detail":{"status":code,"message":message}}.
Answer errorAnswer(int status, const char* code, const QString& message);

// The service's 422 body for a request field that fails validation:
// {"detail":[{"loc":["body",...path],"msg":message,"type":type,"input":input}]}.
Answer validationAnswer(const QStringList& location, const QString& message, const char* type,
                        const QJsonValue& input);

Answer jsonAnswer(const QJsonObject& object);

} // namespace lyrane::speechd
