#include "runs/service_notices.h"

#include "runs/console.h"
#include "synthesis/request_limits.h"
#include "synthesis/text_splitting.h"

#include <QObject>

namespace lyrane {

void printServiceErrorTip(ServiceErrorReason reason, const ServiceErrorContext& context) {
    const QString tip = serviceErrorTip(reason, context);
    if (!tip.isEmpty()) {
        printError(tip + QLatin1Char('\n'));
    }
}

void printWindowLowered(int inFlight) {
    printError(
        QObject::tr("Service allows fewer requests at once; now %1 in flight\n").arg(inFlight));
}

bool checkRequestLength(const TtsRequest& request, const QString& label, QString* failure) {
    const qsizetype length = requestCharacterCount(request.text);
    const int limit = requestCharacterLimit(request);
    if (length <= limit) {
        return true;
    }
    *failure = printFailure(QObject::tr("%1 is %2 characters long; %3 allows at most %4 "
                                        "characters in one request\n")
                                .arg(label)
                                .arg(length)
                                .arg(requestModelId(request))
                                .arg(limit));
    return false;
}

} // namespace lyrane
