#include "subtitle_run.h"
