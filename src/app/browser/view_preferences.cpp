#include "app/browser/view_preferences.h"

namespace quorvale::app {

namespace {

constexpr const char* viewModeKey = "viewMode";
constexpr const char* sortOrderKey = "sortOrder";
constexpr const char* sortAscendingKey = "sortAscending";

void store(AppSettings& settings, const char* key, const QVariant& value) {
    settings.store().setValue(QLatin1String(key), value);
    settings.store().sync();
}

}  // namespace

QString storedName(SortOrder order) {
    switch (order) {
        case SortOrder::name:
            return QStringLiteral("name");
        case SortOrder::size:
            return QStringLiteral("size");
        case SortOrder::date:
            return QStringLiteral("date");
        case SortOrder::kind:
            return QStringLiteral("kind");
    }
    return QStringLiteral("name");
}

std::optional<SortOrder> sortOrderFromStored(const QString& name) {
    for (SortOrder order : allSortOrders)
        if (storedName(order) == name)
            return order;
    return std::nullopt;
}

void bindViewPreferences(AppState& state, AppSettings& settings, QObject* context) {
    QSettings& stored = settings.store();
    if (const auto mode = viewModeFromRaw(stored.value(QLatin1String(viewModeKey)).toString()))
        state.setViewMode(*mode);
    if (const auto order =
            sortOrderFromStored(stored.value(QLatin1String(sortOrderKey)).toString()))
        state.setSortOrder(*order);
    const QVariant ascending = stored.value(QLatin1String(sortAscendingKey));
    if (ascending.typeId() == QMetaType::Bool || ascending.toString() == QLatin1String("true") ||
        ascending.toString() == QLatin1String("false"))
        state.setSortAscending(ascending.toBool());

    QObject::connect(&state, &AppState::viewModeChanged, context, [&state, &settings] {
        store(settings, viewModeKey, rawValue(state.viewMode()));
    });
    QObject::connect(&state, &AppState::sortOrderChanged, context, [&state, &settings] {
        store(settings, sortOrderKey, storedName(state.sortOrder()));
    });
    QObject::connect(&state, &AppState::sortAscendingChanged, context, [&state, &settings] {
        store(settings, sortAscendingKey, state.sortAscending());
    });
}

}  // namespace quorvale::app
