#pragma once
// BreadcrumbBar: the crumbs of the current path ("Root" first) separated by 10-point chevrons;
// the last crumb in accent, the others in textSecondary, an accent tint under the pointer.
// Choosing a crumb emits navigate with its path; each crumb carries its path as the "path"
// property (entries dropped on it go there).

#include <QWidget>

#include "app/browser/browser_paths.h"

class QHBoxLayout;

namespace quorvale::ui {

class BreadcrumbBar : public QWidget {
    Q_OBJECT
public:
    explicit BreadcrumbBar(QWidget* parent = nullptr);

    void setComponents(const QList<app::PathComponent>& components);
    // The crumbs' labels, in order.
    QStringList labels() const;

Q_SIGNALS:
    void navigate(const QString& path);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QHBoxLayout* row;
};

}  // namespace quorvale::ui
