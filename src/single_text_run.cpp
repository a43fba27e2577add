#include "single_text_run.h"
