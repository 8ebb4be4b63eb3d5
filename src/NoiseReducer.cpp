#include "NoiseReducer.h"
