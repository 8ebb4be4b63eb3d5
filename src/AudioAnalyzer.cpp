#include "AudioAnalyzer.h"
