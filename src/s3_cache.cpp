#include "s3_cache.h"
