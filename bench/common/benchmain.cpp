#include "benchmain.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

namespace {

class CollectingReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.iterations > 0 && run.run_type == Run::RT_Iteration)
                timings[run.benchmark_name()] =
                    run.GetAdjustedRealTime() * multiplier(run.time_unit);
        }
    }

    static double multiplier(benchmark::TimeUnit unit)
    {
        switch (unit) {
        case benchmark::kSecond:
            return 1e9;
        case benchmark::kMillisecond:
            return 1e6;
        case benchmark::kMicrosecond:
            return 1e3;
        default:
            return 1;
        }
    }

    Timings timings;
};

} // namespace

int runBenchmarks(int argc, char **argv, const std::function<void(const Timings &)> &summarize)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::fflush(stdout);
    summarize(reporter.timings);
    return 0;
}

void printRatio(const Timings &t, const std::string &label, const std::string &numerator,
                const std::string &denominator)
{
    const auto a = t.find(numerator);
    const auto b = t.find(denominator);
    if (a == t.end() || b == t.end() || b->second <= 0) {
        std::printf("%s: not measured\n", label.c_str());
        return;
    }
    std::printf("%s: %s / %s = %.2f\n", label.c_str(), numerator.c_str(), denominator.c_str(),
                a->second / b->second);
}
