#include "cli_arguments.h"

#include <QFileInfo>

#include "rpc/device_name.h"

namespace quorvale::app::cli {
namespace {

bool namesASource(const SourceSpec& named) {
    return QFileInfo(named.source).isFile() || rpc::isWholeDiskName(named.source.toStdString());
}

// Whether `count` arguments fit the shape.
bool fits(const CommandShape& shape, qsizetype count) {
    const auto fixed = static_cast<qsizetype>(shape.roles.size());
    return shape.lastRepeats ? count >= fixed : count == fixed;
}

Role roleAt(const CommandShape& shape, qsizetype index) {
    return index < static_cast<qsizetype>(shape.roles.size()) ? shape.roles[index]
                                                              : shape.roles.back();
}

int indexOf(std::vector<SourceSpec>& sources, const SourceSpec& named) {
    for (std::size_t i = 0; i < sources.size(); ++i)
        if (sources[i] == named)
            return static_cast<int>(i);
    sources.push_back(named);
    return static_cast<int>(sources.size() - 1);
}

// Resolves `args` against the shape; remote arguments without a source of their own go to
// `fallback` (none: every one must name its source). Nothing when they do not fit.
std::optional<Invocation> resolve(const CommandShape& shape, const QStringList& args,
                                  const std::optional<SourceSpec>& fallback) {
    if (!fits(shape, args.size()))
        return std::nullopt;
    Invocation invocation;
    if (fallback)
        invocation.sources.push_back(*fallback);
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (roleAt(shape, i) != Role::remote) {
            invocation.values << args[i];
            invocation.sourceOf.push_back(-1);
            continue;
        }
        if (const auto remote = parseRemote(args[i])) {
            invocation.values << remote->path;
            invocation.sourceOf.push_back(indexOf(invocation.sources, remote->source));
        } else if (fallback) {
            invocation.values << args[i];
            invocation.sourceOf.push_back(0);
        } else {
            return std::nullopt;
        }
    }
    if (invocation.sources.empty())
        return std::nullopt;
    return invocation;
}

}  // namespace

SourceSpec parseSource(const QString& text) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (QFileInfo::exists(text) || colon <= 0)
        return {text, {}};
    return {text.left(colon), text.mid(colon + 1)};
}

std::optional<RemoteSpec> parseRemote(const QString& text) {
    // The path starts at a ":/" whose left side names a source; a file name may itself hold
    // ":/", so every one is tried from the left.
    for (qsizetype at = text.indexOf(QStringLiteral(":/")); at > 0;
         at = text.indexOf(QStringLiteral(":/"), at + 1)) {
        const SourceSpec named = parseSource(text.left(at));
        if (namesASource(named))
            return RemoteSpec{named, text.mid(at + 1)};
    }
    return std::nullopt;
}

Invocation resolveArguments(const CommandShape& shape, const QStringList& args) {
    // Every remote path names its source...
    if (!shape.roles.empty())
        if (auto invocation = resolve(shape, args, std::nullopt))
            return *invocation;
    // ...or the first argument is the source of the plain ones.
    if (!args.isEmpty())
        if (auto invocation = resolve(shape, args.mid(1), parseSource(args[0])))
            return *invocation;
    throw UsageError("wrong arguments for " + shape.name.toStdString());
}

}  // namespace quorvale::app::cli
