#include "model/file_item.h"

#include <cmath>
#include <limits>

#include "model/display_format.h"

namespace quorvale::model {

namespace {

namespace json = boost::json;

QString toQString(json::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

const json::value* member(const json::object& entry, json::string_view key) {
    return entry.if_contains(key);
}

std::optional<QString> stringMember(const json::object& entry, json::string_view key) {
    const json::value* v = member(entry, key);
    if (v == nullptr || !v->is_string())
        return std::nullopt;
    return toQString(v->get_string());
}

bool boolMember(const json::object& entry, json::string_view key) {
    const json::value* v = member(entry, key);
    return v != nullptr && v->is_bool() && v->get_bool();
}

// Size in bytes: fractions truncate; negative values count as 0 and values beyond the
// unsigned range saturate instead of overflowing.
std::uint64_t sizeMember(const json::object& entry) {
    const json::value* v = member(entry, "size");
    if (v == nullptr)
        return 0;
    switch (v->kind()) {
        case json::kind::uint64:
            return v->get_uint64();
        case json::kind::int64:
            return v->get_int64() < 0 ? 0 : static_cast<std::uint64_t>(v->get_int64());
        case json::kind::double_: {
            double d = v->get_double();
            if (!(d > 0))
                return 0;
            if (d >= 18446744073709551616.0)
                return std::numeric_limits<std::uint64_t>::max();
            return static_cast<std::uint64_t>(d);
        }
        default:
            return 0;
    }
}

// Mode bits: the number as a signed integer, truncated to its low 16 bits.
std::uint16_t permissionsMember(const json::object& entry) {
    const json::value* v = member(entry, "permissions");
    if (v == nullptr)
        return 0;
    switch (v->kind()) {
        case json::kind::uint64:
            return static_cast<std::uint16_t>(v->get_uint64());
        case json::kind::int64:
            return static_cast<std::uint16_t>(static_cast<std::uint64_t>(v->get_int64()));
        case json::kind::double_: {
            double d = std::trunc(v->get_double());
            if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0))
                return 0;
            return static_cast<std::uint16_t>(
                static_cast<std::uint64_t>(static_cast<std::int64_t>(d)));
        }
        default:
            return 0;
    }
}

// Seconds since 1970 (fraction allowed); missing, not a number or beyond the representable
// range gives the epoch itself.
QDateTime mtimeMember(const json::object& entry) {
    const QDateTime epoch = QDateTime::fromMSecsSinceEpoch(0, Qt::UTC);
    const json::value* v = member(entry, "mtime");
    if (v == nullptr || !v->is_number())
        return epoch;
    double seconds = v->to_number<double>();
    double msecs = std::round(seconds * 1000.0);
    // Qt's supported range is roughly +-292 million years.
    constexpr double limit = 9.0e18;
    if (!(msecs > -limit && msecs < limit))
        return epoch;
    QDateTime date = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(msecs), Qt::UTC);
    return date.isValid() ? date : epoch;
}

}  // namespace

std::optional<FileItem> FileItem::fromEntry(const json::object& entry, const QString& parentPath) {
    if (entry.empty())
        return std::nullopt;
    std::optional<QString> name = stringMember(entry, "name");
    if (!name)
        return std::nullopt;

    FileItem item;
    item.name = *name;
    item.path = parentPath == QLatin1String("/") ? QLatin1Char('/') + item.name
                                                 : parentPath + QLatin1Char('/') + item.name;
    item.id = item.path;
    item.size = sizeMember(entry);
    item.isDirectory = boolMember(entry, "is_directory");
    item.permissions = permissionsMember(entry);
    item.owner = stringMember(entry, "owner").value_or(QStringLiteral("unknown"));
    item.group = stringMember(entry, "group").value_or(QStringLiteral("unknown"));
    item.modifiedDate = mtimeMember(entry);
    item.isSymlink = boolMember(entry, "is_symlink");
    item.symlinkTarget = stringMember(entry, "symlink_target");
    return item;
}

QString FileItem::fileExtension() const {
    qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot + 1).toLower();
}

QString FileItem::displayName() const {
    return readableName(name);
}

QString FileItem::sizeText() const {
    // The formatter takes a signed count; larger sizes show as the largest it can express.
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<qint64>::max());
    return byteCountText(static_cast<qint64>(size > max ? max : size));
}

QString FileItem::dateText() const {
    return model::dateText(modifiedDate);
}

QString FileItem::permissionText() const {
    return permissionString(permissions, isDirectory);
}

size_t qHash(const FileItem& item, size_t seed) noexcept {
    seed =
        item.symlinkTarget ? qHashMulti(seed, true, *item.symlinkTarget) : qHashMulti(seed, false);
    return qHashMulti(seed, item.id, item.name, item.path, item.size, item.isDirectory,
                      item.permissions, item.owner, item.group, item.modifiedDate, item.isSymlink);
}

}  // namespace quorvale::model
