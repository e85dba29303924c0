// df: size and free space of the partitions the VM holds, as a table or as JSON.

#include <QJsonArray>
#include <QJsonObject>

#include "cli_support.h"
#include "fileops/file_operation_service.h"

namespace quorvale::app::cli {

QCoro::Task<void> diskUsageCommand(Session& session, QString partition, Options options) {
    // The guest mounts a partition on its first use: list its root first.
    FileBrowserViewModel& browser = session.browser(partition);
    co_await browser.navigateTo(QStringLiteral("/"));
    if (browser.error())
        throw CliError(browser.error()->toStdString());
    const auto partitions = co_await session.service().getPartitions();
    if (!options.json)
        print(QStringLiteral("%1 %2 %3 %4 %5 %6")
                  .arg(QStringLiteral("Partition").leftJustified(12),
                       QStringLiteral("Size").rightJustified(10),
                       QStringLiteral("Used").rightJustified(10),
                       QStringLiteral("Avail").rightJustified(10),
                       QStringLiteral("Type").leftJustified(6), QStringLiteral("Label")));
    QJsonArray rows;
    for (const auto& entry : partitions) {
        const auto text = [&](const char* key) {
            const auto it = entry.find(key);
            const auto value = it == entry.end() ? std::nullopt : it->second.stringValue();
            return value ? QString::fromUtf8(value->data(), qsizetype(value->size())) : QString();
        };
        const auto number = [&](const char* key) -> std::uint64_t {
            const auto it = entry.find(key);
            const auto value = it == entry.end() ? std::nullopt : it->second.intValue();
            return value && *value > 0 ? static_cast<std::uint64_t>(*value) : 0;
        };
        const std::uint64_t total = number("total_bytes");
        const std::uint64_t free = std::min(number("free_bytes"), total);
        if (options.json) {
            rows.append(QJsonObject{
                {QStringLiteral("name"), text("name")},
                {QStringLiteral("filesystem"), text("filesystem")},
                {QStringLiteral("label"), text("label")},
                {QStringLiteral("total_bytes"), static_cast<qint64>(total)},
                {QStringLiteral("used_bytes"), static_cast<qint64>(total - free)},
                {QStringLiteral("free_bytes"), static_cast<qint64>(free)},
            });
            continue;
        }
        print(QStringLiteral("%1 %2 %3 %4 %5 %6")
                  .arg(text("name").leftJustified(12), bytesText(total).rightJustified(10),
                       bytesText(total - free).rightJustified(10),
                       bytesText(free).rightJustified(10), text("filesystem").leftJustified(6),
                       text("label")));
    }
    if (options.json)
        printJson(rows);
}

}  // namespace quorvale::app::cli
