#pragma once
// The browser's view preferences kept between runs: the view mode ("viewMode": "grid" or
// "list"), the sort key ("sortOrder": "name", "size", "date" or "kind") and its direction
// ("sortAscending"). Unknown stored values leave the state's defaults.

#include <QObject>

#include "app/core/app_settings.h"
#include "app/core/app_state.h"

namespace quorvale::app {

// Loads the stored preferences into `state`, then stores each change of them for as long as
// `context` lives. `settings` must outlive `context`.
void bindViewPreferences(AppState& state, AppSettings& settings, QObject* context);

// "name", "size", "date", "kind" and back.
QString storedName(SortOrder order);
std::optional<SortOrder> sortOrderFromStored(const QString& name);

}  // namespace quorvale::app
