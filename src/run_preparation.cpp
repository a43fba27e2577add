#include "run_preparation.h"
