#pragma once
// What a copy does when its target name is taken. A ConflictPolicy either fails (the default:
// nothing is ever replaced unless someone said so), applies one fixed action, or asks a
// question for each conflict until an answer says it applies to all the ones that follow.

#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>

namespace quorvale::fileops {

enum class ConflictAction { replace, keepBoth, skip };

struct Conflict {
    QString name;    // the name that is taken
    QString folder;  // where, as shown to people
    bool existingIsFolder = false;
    bool incomingIsFolder = false;
};

struct ConflictAnswer {
    ConflictAction action = ConflictAction::skip;
    bool applyToAll = false;
};

using ConflictQuestion = std::function<QCoro::Task<ConflictAnswer>(Conflict)>;

class ConflictPolicy {
public:
    static ConflictPolicy failing() { return {}; }
    static ConflictPolicy always(ConflictAction action);
    static ConflictPolicy asking(ConflictQuestion question);

    // The action for `conflict`; throws FileOperationError ("File exists: ...") when failing.
    QCoro::Task<ConflictAction> decide(Conflict conflict);

private:
    std::optional<ConflictAction> fixed;
    ConflictQuestion question;
};

// "ask", "replace", "keep-both", "skip" or "fail" as a command line writes it; nothing for
// anything else. "ask" gives nullopt in `action` with `ask` set.
struct ConflictChoice {
    bool ask = false;
    std::optional<ConflictAction> action;  // none and not ask: fail
};
std::optional<ConflictChoice> parseConflictChoice(const QString& text);

// "name 2.ext" for n = 2 ("archive.tar 2.gz", ".profile 2", "README 2"); a folder's number goes
// at the end ("photos.2020 2").
QString numberedName(const QString& fileName, int n, bool isFolder = false);
// `name` itself when not in `taken`, else the first free numberedName() from 2 on.
QString keepBothName(const QString& name, const QStringList& taken, bool isFolder = false);

}  // namespace quorvale::fileops
