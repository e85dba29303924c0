#pragma once
// AnyCodable: one JSON value of seven kinds (null, bool, int64, double, string, array, object).
// Values of any other C++ type can be wrapped but refuse to encode ("Unsupported type").
// Equality compares textual renderings only, so 1 == "1" but 1 != 1.0.

#include <boost/json/value.hpp>

#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "rpc/error.h"
#include "rpc/large_buffer.h"

namespace quorvale::rpc {

// Thrown when a value of an unsupported kind is encoded or an unsupported JSON value decoded.
class CodingError : public Error {
public:
    enum class Kind { invalidValue, dataCorrupted };
    CodingError(Kind kind, std::string description) : Error(std::move(description)), kind(kind) {}
    Kind kind;
};

class AnyCodable {
public:
    enum class Kind { null, boolean, integer, floating, string, array, object, unsupported };

    // Values live in largeValueStorage(), so moves between them never copy and large strings
    // get huge pages.
    AnyCodable() = default;  // null
    AnyCodable(std::nullptr_t) {}
    AnyCodable(bool b) { value_ = b; }
    AnyCodable(double d) { value_ = d; }
    AnyCodable(const char* s) { value_ = s; }
    AnyCodable(std::string_view s) { value_ = s; }
    AnyCodable(const std::string& s) { value_ = std::string_view(s); }
    AnyCodable(std::vector<AnyCodable> items);
    AnyCodable(std::map<std::string, AnyCodable> members);
    // Integers of any width that fit a signed 64-bit integer.
    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>) AnyCodable(T i) {
        if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(std::int64_t)) {
            if (i > static_cast<T>(INT64_MAX)) {
                unsupportedType_ = typeid(T).name();
                return;
            }
        }
        value_ = static_cast<std::int64_t>(i);
    }
    // Any other type is held as unsupported and fails to encode.
    template <typename T>
    requires(!std::convertible_to<T, std::string_view> && !std::integral<T> &&
             !std::same_as<T, double> && !std::same_as<T, AnyCodable>) static AnyCodable
        unsupported(const T&) {
        AnyCodable a;
        a.unsupportedType_ = typeid(T).name();
        return a;
    }

    // Decodes a parsed JSON value; throws CodingError "Unsupported type" for none of the kinds.
    static AnyCodable fromJSON(boost::json::value v);
    // Encodes; throws CodingError(invalidValue, "Unsupported type") for an unsupported value.
    const boost::json::value& toJSON() const;

    Kind kind() const;
    bool isNull() const { return kind() == Kind::null; }
    std::optional<bool> boolValue() const;
    std::optional<std::int64_t> intValue() const;
    std::optional<double> doubleValue() const;  // the double kind only
    std::optional<double> numberValue() const;  // integer or double
    std::optional<std::string_view> stringValue() const;
    const boost::json::array* arrayValue() const;
    const boost::json::object* objectValue() const;
    // The held JSON tree, for callers that walk large results without copying.
    const boost::json::value& json() const { return value_; }

    // Compact textual rendering, also used for equality.
    std::string render() const;
    bool operator==(const AnyCodable& other) const { return render() == other.render(); }

private:
    struct Adopt {};
    // Moves the value in whole, keeping its storage (an assignment would copy across storages).
    AnyCodable(Adopt, boost::json::value v) : value_(std::move(v)) {}

    boost::json::value value_ = boost::json::value(largeValueStorage());
    const char* unsupportedType_ = nullptr;
};

using Params = std::map<std::string, AnyCodable>;

}  // namespace quorvale::rpc
