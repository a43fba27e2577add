#include "audio_processor.h"
