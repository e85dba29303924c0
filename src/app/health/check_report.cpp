#include "app/health/check_report.h"

#include <QRegularExpression>

#include "rpc/ext_superblock.h"

namespace quorvale::app {

namespace {

using Outcome = CheckReport::Outcome;

// e2fsck -n's exit bits: 4 errors left uncorrected, 8 operational error, 32 cancelled.
constexpr int errorsLeft = 4;
constexpr int operationalError = 8;
constexpr int cancelled = 32;

bool isSummary(const QString& line) {
    static const QRegularExpression pattern(
        QStringLiteral(R"(: \d+/\d+ files \(.*\), \d+/\d+ blocks$)"));
    return pattern.match(line).hasMatch();
}

bool isProgressLine(const QString& line) {
    return line.startsWith(QLatin1String("e2fsck ")) || line.startsWith(QLatin1String("Pass ")) ||
           line.contains(QLatin1String("WARNING: Filesystem still has errors"));
}

// What the superblock says against a clean verdict; empty when nothing.
QString superblockFinding(const QByteArray& bytes) {
    if (bytes.isEmpty())
        return {};
    const auto sb = rpc::parseExtSuperblock(
        std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    if (!sb)
        return QStringLiteral("the superblock is unreadable");
    if (sb->needsRecovery())
        return QStringLiteral("the journal still needs recovery");
    if (sb->errorsRecorded())
        return QStringLiteral("the superblock records %1 errors").arg(sb->errorCount);
    if (!sb->cleanlyUnmounted())
        return QStringLiteral("the superblock is not marked clean");
    return {};
}

// A finding fit for a one-line message; the findings keep the whole line. A tag e2fsck puts
// before some lines, "[QUOTA WARNING] ...", reads "Quota warning: ...", and a long line (bitmap
// differences can run to tens of kilobytes) is cut between two words.
QString brief(QString line) {
    static const QRegularExpression tag(QStringLiteral(R"(^\[([A-Z][A-Z ]*)\] )"));
    if (const auto match = tag.match(line); match.hasMatch()) {
        const QString name = match.captured(1).toLower();
        line.replace(0, match.capturedLength(), name.left(1).toUpper() + name.mid(1) + ": ");
    }
    constexpr qsizetype most = 120;
    if (line.size() <= most)
        return line;
    qsizetype cut = line.lastIndexOf(QLatin1Char(' '), most);
    if (cut < most / 2)
        cut = most;
    return line.left(cut).trimmed() + QChar(0x2026);
}

}  // namespace

int CheckReport::exitStatus() const {
    switch (outcome) {
        case Outcome::clean:
            return 0;
        case Outcome::damaged:
            return errorsLeft;
        case Outcome::skipped:
            return cancelled;
        case Outcome::failed:
            break;
    }
    return operationalError;
}

CheckReport makeCheckReport(const fileops::CheckStatus& status) {
    CheckReport report;
    QString lastLine;
    for (QString line : status.output.split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        if (isSummary(line)) {
            report.summary = line;
            continue;
        }
        if (isProgressLine(line))
            continue;
        lastLine = line;
        static const QRegularExpression answer(
            QStringLiteral(R"(\s*Fix\? no$|\s*Ignore\? no$|\s*Clear\? no$)"));
        line.remove(answer);
        if (!line.isEmpty() && report.findings.size() < 1000)
            report.findings.append(line);
    }
    const int code = status.exitCode.value_or(-1);
    if (status.state == fileops::CheckStatus::State::cancelled ||
        (code >= 0 && (code & cancelled))) {
        report.outcome = Outcome::skipped;
        report.message = QStringLiteral("Ejected without a check: the check was skipped");
        return report;
    }
    // Errors found before e2fsck stopped short are damage, not a check that never ran.
    const bool damageFound = code >= 0 && (code & errorsLeft) && !report.findings.isEmpty();
    if (code < 0 || ((code & operationalError) && !damageFound)) {
        report.outcome = Outcome::failed;
        report.message = QStringLiteral("The check could not run: ") +
                         (lastLine.isEmpty() ? QStringLiteral("e2fsck failed") : brief(lastLine));
        return report;
    }
    const QString sbFinding = superblockFinding(status.superblock);
    if (code != 0 || !sbFinding.isEmpty()) {
        report.outcome = Outcome::damaged;
        if (!sbFinding.isEmpty())
            report.findings.append(sbFinding);
        report.message = QStringLiteral("The check found problems: ") +
                         (report.findings.isEmpty() ? QStringLiteral("e2fsck reported errors")
                                                    : brief(report.findings.first()));
        if (report.findings.size() > 1)
            report.message += QStringLiteral(" (and %1 more)").arg(report.findings.size() - 1);
        if (code & operationalError)
            report.message += QStringLiteral("; the check stopped before the end");
        return report;
    }
    report.outcome = Outcome::clean;
    report.message = QStringLiteral("Safe to remove: the file system is clean");
    return report;
}

}  // namespace quorvale::app
