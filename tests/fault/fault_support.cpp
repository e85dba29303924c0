#include "fault_support.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace quorvale::fault {

QString buildDir() {
    return qEnvironmentVariable("QUORVALE_BUILD_DIR");
}

QString sourceDir() {
    return qEnvironmentVariable("QUORVALE_SOURCE_DIR");
}

bool vmImageAvailable() {
    const QString vm = buildDir() + "/share/quorvale/vm";
    return QFileInfo::exists(vm + "/vmlinuz") && QFileInfo::exists(vm + "/initramfs.img");
}

int faultSeed() {
    bool ok = false;
    const int seed = qEnvironmentVariableIntValue("QUORVALE_FAULT_SEED", &ok);
    return ok ? seed : 1;
}

namespace {

QByteArray generator(const QStringList& args) {
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(QStringLiteral("python3"),
                  QStringList{sourceDir() + "/scripts/make-damaged-cards.py"} + args);
    if (!process.waitForStarted(30000) || !process.waitForFinished(1800000) ||
        process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        ADD_FAILURE() << "the card generator failed: "
                      << process.readAllStandardError().toStdString();
        return {};
    }
    return process.readAllStandardOutput();
}

}  // namespace

std::vector<CardSpec> plannedCards(int seed, int count) {
    std::vector<CardSpec> cards;
    const QByteArray out = generator({"--list", "--out", "/nonexistent", "--seed",
                                      QString::number(seed), "--count", QString::number(count)});
    for (const QByteArray& line : out.split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() < 4)
            continue;
        CardSpec card;
        card.index = fields[0].toInt();
        card.file = QString::fromUtf8(fields[1]) + ".img";
        card.category = QString::fromUtf8(fields[2]);
        card.base = QString::fromUtf8(fields[3]);
        cards.push_back(card);
    }
    return cards;
}

std::vector<CardSpec> makeCards(int seed, int count, const QList<int>& indexes,
                                const QString& directory) {
    QStringList only;
    for (int index : indexes)
        only << QString::number(index);
    generator({"--out", directory, "--seed", QString::number(seed), "--count",
               QString::number(count), "--only", only.join(',')});
    std::vector<CardSpec> cards;
    QFile manifest(directory + "/manifest.tsv");
    if (!manifest.open(QIODevice::ReadOnly))
        return cards;
    for (const QByteArray& line : manifest.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() < 6)
            continue;
        CardSpec card;
        card.file = directory + "/" + QString::fromUtf8(fields[0]);
        card.index = card.file.section('/', -1).section('-', 0, 0).toInt();
        card.category = QString::fromUtf8(fields[1]);
        card.base = QString::fromUtf8(fields[2]);
        card.control = fields[3] == "yes";
        card.rootNames = QString::fromUtf8(fields[4]).split(',');
        card.notes = QString::fromUtf8(fields[5]);
        cards.push_back(card);
    }
    return cards;
}

QList<RoadLine> RoadRun::linesOf(const QString& image) const {
    QList<RoadLine> result;
    bool inside = false;
    for (const RoadLine& line : lines) {
        if (line.value(0) == QLatin1String("card"))
            inside = line.value(1) == image;
        else if (inside)
            result << line;
    }
    return result;
}

QString RoadRun::lastCard() const {
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (it->value(0) == QLatin1String("card"))
            return it->value(1);
    }
    return {};
}

RoadRun runRoad(const QStringList& args, std::chrono::seconds limit, Access access,
                const QString& cardFolder,
                const std::function<void(const RoadLine&, qint64 pid)>& onLine) {
    RoadRun run;
    const QString road = buildDir() + "/tests/fault/quorvale-fault-road";
    QString program = road;
    QStringList arguments = args;
    if (access == Access::readOnly && ::geteuid() == 0) {
        // Root writes through file modes: a read-only bind mount in a namespace of its own.
        program = QStringLiteral("unshare");
        arguments = QStringList{"--mount",  "--propagation",
                                "private",  "sh",
                                "-c",       R"(mount --bind -o ro "$0" "$0" && exec "$@")",
                                cardFolder, road} +
                    args;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments);
    run.started = process.waitForStarted(30000);
    if (!run.started)
        return run;
    QByteArray pending;
    QElapsedTimer clock;
    clock.start();
    const auto limitMs = std::chrono::duration_cast<std::chrono::milliseconds>(limit).count();
    while (process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(200);
        pending += process.readAllStandardOutput();
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const RoadLine line = QString::fromUtf8(pending.left(end)).split('\t');
            pending.remove(0, end + 1);
            run.lines << line;
            if (line.value(0) == QLatin1String("hang"))
                run.hung = true;
            if (onLine)
                onLine(line, process.processId());
        }
        if (clock.elapsed() > limitMs) {
            run.hung = true;
            process.kill();
            process.waitForFinished(10000);
            break;
        }
    }
    process.waitForFinished(10000);
    pending += process.readAllStandardOutput();
    for (const QByteArray& rest : pending.split('\n')) {
        if (!rest.isEmpty())
            run.lines << QString::fromUtf8(rest).split('\t');
    }
    run.errors = QString::fromUtf8(process.readAllStandardError());
    run.exitCode = process.exitCode();
    run.crashed = !run.hung && (process.exitStatus() != QProcess::NormalExit ||
                                (run.exitCode != 0 && run.exitCode != 3));
    return run;
}

QByteArray sha256(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

int shell(const QString& command, QString* output) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("sh"), {QStringLiteral("-c"), command});
    const bool ended = process.waitForFinished(600000);
    if (output)
        *output = QString::fromUtf8(process.readAll()).trimmed();
    if (!ended) {
        process.kill();
        process.waitForFinished(10000);
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool isClearMessage(const QString& message) {
    static const QRegularExpression dump(
        QStringLiteral(R"([{}\[\]]|std::|\(null\)|^\s*$|^(error|unknown error|failed)\.?$)"),
        QRegularExpression::CaseInsensitiveOption);
    if (message.size() < 8 || message.size() > 240 || dump.match(message).hasMatch())
        return false;
    for (const QChar c : message) {
        if (c.category() == QChar::Other_Control || c == QChar::ReplacementCharacter)
            return false;
    }
    return true;
}

}  // namespace quorvale::fault
