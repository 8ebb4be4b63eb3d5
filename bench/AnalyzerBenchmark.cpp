#include "BenchSupport.h"

int runAnalyzerBenchmark()
{
    std::cout << "not built yet" << std::endl;
    return 0;
}
