#pragma once

#include <functional>

namespace lyrane {

// Asked between clips and chunks of long audio work; true ends the work early, cleaned up as
// a failure would be (temporary files removed, no output replaced). Unset: never stops.
using StopCheck = std::function<bool()>;

inline bool stopRequested(const StopCheck& stopped) {
    return stopped && stopped();
}

} // namespace lyrane
