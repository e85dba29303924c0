#pragma once
// ParamReader: typed access to the "params" object of one request. A missing required member
// or a member of the wrong JSON kind throws AgentError(invalidParams) naming the member, so
// handlers never look at raw JSON.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rpc/any_codable.h"

namespace quorvale::agent {

class ParamReader {
public:
    explicit ParamReader(const rpc::Params& params) : params_(params) {}

    std::string_view string(std::string_view key) const;
    std::optional<std::string_view> optionalString(std::string_view key) const;
    std::int64_t integer(std::string_view key) const;
    std::optional<std::int64_t> optionalInteger(std::string_view key) const;
    std::optional<bool> optionalBool(std::string_view key) const;

    // An array member whose items are all objects, each as the params of a request.
    std::vector<rpc::Params> objects(std::string_view key) const;

    // A non-negative integer member; nothing when absent.
    std::optional<std::int64_t> optionalCount(std::string_view key) const;

private:
    const rpc::AnyCodable* find(std::string_view key) const;

    const rpc::Params& params_;
};

}  // namespace quorvale::agent
