// Speed and memory figures of the processing code; not a test.
//   voxmender-bench analyzer | stages | road | batch | runner

#include "BenchSupport.h"

int runAnalyzerBenchmark();
int runStagesBenchmark();
int runRoadBenchmark();
int runBatchBenchmark();
int runRunnerBenchmark();

int main (int argc, char* argv[])
{
    const juce::String which = argc > 1 ? juce::String (argv[1]) : juce::String();

    if (which == "analyzer") return runAnalyzerBenchmark();
    if (which == "stages")   return runStagesBenchmark();
    if (which == "road")     return runRoadBenchmark();
    if (which == "batch")    return runBatchBenchmark();
    if (which == "runner")   return runRunnerBenchmark();

    std::cerr << "usage: voxmender-bench analyzer|stages|road|batch|runner" << std::endl;
    return 1;
}
