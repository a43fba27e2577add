#include "synthesis/request_limits.h"

#include "synthesis/models.h"

namespace lyrane {

QString requestModelId(const TtsRequest& request) {
    return request.voiceSettings.modelId;
}

int requestCharacterLimit(const TtsRequest& request) {
    return modelInfo(requestModelId(request)).characterLimit;
}

} // namespace lyrane
