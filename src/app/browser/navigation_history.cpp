#include "app/browser/navigation_history.h"

namespace quorvale::app {

void NavigationHistory::push(QStringList& list, const QString& path) {
    if (!list.isEmpty() && list.last() == path)
        return;
    list.append(path);
    if (list.size() > limit)
        list.removeFirst();
}

void NavigationHistory::visit(const QString& from) {
    push(backList, from);
    forwardList.clear();
}

std::optional<QString> NavigationHistory::back(const QString& current) {
    if (backList.isEmpty())
        return std::nullopt;
    push(forwardList, current);
    return backList.takeLast();
}

std::optional<QString> NavigationHistory::forward(const QString& current) {
    if (forwardList.isEmpty())
        return std::nullopt;
    push(backList, current);
    return forwardList.takeLast();
}

void NavigationHistory::clear() {
    backList.clear();
    forwardList.clear();
}

}  // namespace quorvale::app
