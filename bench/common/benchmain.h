#pragma once

#include <benchmark/benchmark.h>

#include <QString>

#include <functional>
#include <map>
#include <string>

// Runs the registered benchmarks inside a QApplication (widgets drawn offscreen unless a
// platform is set) and hands the measured times, in nanoseconds of real time per iteration
// keyed by benchmark name, to summarize, which prints the ratios the goals are judged by.
using Timings = std::map<std::string, double>;
int runBenchmarks(int argc, char **argv, const std::function<void(const Timings &)> &summarize);

// Prints "label: a/b = ratio" with the two times.
void printRatio(const Timings &t, const std::string &label, const std::string &numerator,
                const std::string &denominator);
