// Board I/O of the ZQ terminal board: which GPIO line serves which board function.
// The operations themselves are declared in adcgpio.h.
#pragma once

#include "adcgpio.h"
