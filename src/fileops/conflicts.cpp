#include "fileops/conflicts.h"

#include "fileops/file_operation_error.h"

namespace quorvale::fileops {

ConflictPolicy ConflictPolicy::always(ConflictAction action) {
    ConflictPolicy policy;
    policy.fixed = action;
    return policy;
}

ConflictPolicy ConflictPolicy::asking(ConflictQuestion question) {
    ConflictPolicy policy;
    policy.question = std::move(question);
    return policy;
}

QCoro::Task<ConflictAction> ConflictPolicy::decide(Conflict conflict) {
    if (fixed)
        co_return *fixed;
    if (!question) {
        const QString where =
            conflict.folder.endsWith(QLatin1Char('/')) ? conflict.folder : conflict.folder + '/';
        throw FileOperationError::operationFailed("File exists: " +
                                                  (where + conflict.name).toStdString());
    }
    const ConflictAnswer answer = co_await question(std::move(conflict));
    if (answer.applyToAll)
        fixed = answer.action;
    co_return answer.action;
}

std::optional<ConflictChoice> parseConflictChoice(const QString& text) {
    if (text == QLatin1String("ask"))
        return ConflictChoice{true, std::nullopt};
    if (text == QLatin1String("fail"))
        return ConflictChoice{};
    if (text == QLatin1String("replace"))
        return ConflictChoice{false, ConflictAction::replace};
    if (text == QLatin1String("keep-both"))
        return ConflictChoice{false, ConflictAction::keepBoth};
    if (text == QLatin1String("skip"))
        return ConflictChoice{false, ConflictAction::skip};
    return std::nullopt;
}

QString numberedName(const QString& fileName, int n, bool isFolder) {
    const QString number = QLatin1Char(' ') + QString::number(n);
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    // A leading dot starts a hidden name, not an extension.
    if (isFolder || dot <= 0 || dot == fileName.size() - 1)
        return fileName + number;
    return fileName.left(dot) + number + fileName.mid(dot);
}

QString keepBothName(const QString& name, const QStringList& taken, bool isFolder) {
    if (!taken.contains(name))
        return name;
    for (int n = 2;; ++n) {
        const QString candidate = numberedName(name, n, isFolder);
        if (!taken.contains(candidate))
            return candidate;
    }
}

}  // namespace quorvale::fileops
