#include "speech_engine.h"
