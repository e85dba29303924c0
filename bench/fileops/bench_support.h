#pragma once
// Timing helpers of the file operation benchmarks: wall-clock runs, medians, shell baselines.

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <vector>

namespace quorvale::bench {

using Clock = std::chrono::steady_clock;

// Seconds taken by `work`.
double timeRun(const std::function<void()>& work);
double median(std::vector<double> values);
// Runs a program with its output discarded; false when it fails.
bool runQuietly(const QString& program, const QStringList& arguments);
// Runs per measurement: 5, or QUORVALE_BENCH_RUNS.
int runCount();

}  // namespace quorvale::bench
