#include "vtt_parser.h"
