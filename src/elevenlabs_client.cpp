#include "elevenlabs_client.h"
