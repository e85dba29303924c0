#include "bench_support.h"

#include <QProcess>

#include <algorithm>

namespace quorvale::bench {

double timeRun(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool runQuietly(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, arguments);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

int runCount() {
    bool ok = false;
    const int runs = qEnvironmentVariableIntValue("QUORVALE_BENCH_RUNS", &ok);
    return ok && runs > 0 ? runs : 5;
}

}  // namespace quorvale::bench
