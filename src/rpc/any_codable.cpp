#include "rpc/any_codable.h"

#include <boost/json/serialize.hpp>

#include <limits>

namespace quorvale::rpc {

namespace {
constexpr const char* kUnsupported = "Unsupported type";
}

AnyCodable::AnyCodable(std::vector<AnyCodable> items) {
    boost::json::array a(value_.storage());
    a.reserve(items.size());
    for (auto& item : items) {
        if (item.unsupportedType_) {
            unsupportedType_ = item.unsupportedType_;
            return;
        }
        a.push_back(std::move(item.value_));
    }
    value_ = std::move(a);
}

AnyCodable::AnyCodable(std::map<std::string, AnyCodable> members) {
    boost::json::object o(value_.storage());
    o.reserve(members.size());
    for (auto& [key, item] : members) {
        if (item.unsupportedType_) {
            unsupportedType_ = item.unsupportedType_;
            return;
        }
        o.emplace(key, std::move(item.value_));
    }
    value_ = std::move(o);
}

namespace {

// An unsigned number above INT64_MAX is "any other number": a double. Applies at every depth so
// that nested values follow the same rules as the top one.
void normalizeNumbers(boost::json::value& v) {
    switch (v.kind()) {
        case boost::json::kind::uint64: {
            const auto u = v.get_uint64();
            if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                v = static_cast<double>(u);
            } else {
                v = static_cast<std::int64_t>(u);
            }
            break;
        }
        case boost::json::kind::array:
            for (auto& item : v.get_array())
                normalizeNumbers(item);
            break;
        case boost::json::kind::object:
            for (auto& member : v.get_object())
                normalizeNumbers(member.value());
            break;
        default:
            break;
    }
}

}  // namespace

AnyCodable AnyCodable::fromJSON(boost::json::value v) {
    normalizeNumbers(v);
    return AnyCodable(Adopt{}, std::move(v));
}

const boost::json::value& AnyCodable::toJSON() const {
    if (unsupportedType_) {
        throw CodingError(CodingError::Kind::invalidValue, kUnsupported);
    }
    return value_;
}

AnyCodable::Kind AnyCodable::kind() const {
    if (unsupportedType_)
        return Kind::unsupported;
    switch (value_.kind()) {
        case boost::json::kind::null:
            return Kind::null;
        case boost::json::kind::bool_:
            return Kind::boolean;
        case boost::json::kind::int64:
            return Kind::integer;
        case boost::json::kind::uint64:
            return value_.get_uint64() <= static_cast<std::uint64_t>(INT64_MAX) ? Kind::integer
                                                                                : Kind::floating;
        case boost::json::kind::double_:
            return Kind::floating;
        case boost::json::kind::string:
            return Kind::string;
        case boost::json::kind::array:
            return Kind::array;
        case boost::json::kind::object:
            return Kind::object;
    }
    return Kind::unsupported;
}

std::optional<bool> AnyCodable::boolValue() const {
    if (kind() != Kind::boolean)
        return std::nullopt;
    return value_.get_bool();
}

std::optional<std::int64_t> AnyCodable::intValue() const {
    if (kind() != Kind::integer)
        return std::nullopt;
    if (value_.is_uint64())
        return static_cast<std::int64_t>(value_.get_uint64());
    return value_.get_int64();
}

std::optional<double> AnyCodable::doubleValue() const {
    if (kind() != Kind::floating)
        return std::nullopt;
    return value_.to_number<double>();
}

std::optional<double> AnyCodable::numberValue() const {
    const auto k = kind();
    if (k != Kind::integer && k != Kind::floating)
        return std::nullopt;
    return value_.to_number<double>();
}

std::optional<std::string_view> AnyCodable::stringValue() const {
    if (kind() != Kind::string)
        return std::nullopt;
    const auto& s = value_.get_string();
    return std::string_view(s.data(), s.size());
}

const boost::json::array* AnyCodable::arrayValue() const {
    return kind() == Kind::array ? &value_.get_array() : nullptr;
}

const boost::json::object* AnyCodable::objectValue() const {
    return kind() == Kind::object ? &value_.get_object() : nullptr;
}

std::string AnyCodable::render() const {
    if (unsupportedType_)
        return std::string("<unsupported ") + unsupportedType_ + ">";
    // A string renders as its text, so the string "1" equals the integer 1.
    if (value_.is_string())
        return std::string(value_.get_string());
    // A double always renders with a fractional part or exponent, so 1.0 never equals 1.
    return boost::json::serialize(value_);
}

}  // namespace quorvale::rpc
