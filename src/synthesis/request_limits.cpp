#include "synthesis/request_limits.h"

#include "synthesis/models.h"

namespace lyrane {

QString requestModelId(const TtsRequest& /*request*/) {
    return QString::fromLatin1(ElevenLabsClient::kModelId);
}

int requestCharacterLimit(const TtsRequest& request) {
    return modelInfo(requestModelId(request)).characterLimit;
}

} // namespace lyrane
