#include "segment_generation.h"
