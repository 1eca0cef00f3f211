#pragma once
#include "adcgpio.h"
