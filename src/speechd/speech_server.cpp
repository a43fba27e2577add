#include "speech_server.h"
