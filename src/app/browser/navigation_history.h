#pragma once
// NavigationHistory: the Back and Forward lists of one browser. Going somewhere new remembers
// the folder left behind and forgets what lay ahead; Back and Forward move one step and keep
// the folder they leave on the other list. Each list keeps its latest `limit` folders.

#include <QString>
#include <QStringList>

#include <optional>

namespace quorvale::app {

class NavigationHistory {
public:
    static constexpr qsizetype limit = 100;

    // Leaving `from` for a new folder.
    void visit(const QString& from);
    // The folder one step back (or forward) from `current`, which goes on the other list;
    // nothing when that list is empty.
    std::optional<QString> back(const QString& current);
    std::optional<QString> forward(const QString& current);
    void clear();

    bool canGoBack() const { return !backList.isEmpty(); }
    bool canGoForward() const { return !forwardList.isEmpty(); }

private:
    static void push(QStringList& list, const QString& path);

    QStringList backList;
    QStringList forwardList;
};

}  // namespace quorvale::app
