#include "cache_manager.h"
