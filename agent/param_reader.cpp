#include "agent/param_reader.h"

#include "agent/agent_error.h"

namespace quorvale::agent {

namespace {

std::string quoted(std::string_view key) {
    return "\"" + std::string(key) + "\"";
}

AgentError missing(std::string_view key, std::string_view kind) {
    return AgentError::invalidParams("missing " + std::string(kind) + " member " + quoted(key));
}

AgentError wrongKind(std::string_view key, std::string_view kind) {
    return AgentError::invalidParams(quoted(key) + " must be " + std::string(kind));
}

}  // namespace

const rpc::AnyCodable* ParamReader::find(std::string_view key) const {
    const auto it = params_.find(std::string(key));
    return it == params_.end() ? nullptr : &it->second;
}

std::string_view ParamReader::string(std::string_view key) const {
    if (auto value = optionalString(key))
        return *value;
    throw missing(key, "string");
}

std::optional<std::string_view> ParamReader::optionalString(std::string_view key) const {
    const auto* value = find(key);
    if (!value)
        return std::nullopt;
    auto text = value->stringValue();
    if (!text)
        throw wrongKind(key, "a string");
    return text;
}

std::int64_t ParamReader::integer(std::string_view key) const {
    if (auto value = optionalInteger(key))
        return *value;
    throw missing(key, "integer");
}

std::optional<std::int64_t> ParamReader::optionalInteger(std::string_view key) const {
    const auto* value = find(key);
    if (!value)
        return std::nullopt;
    auto number = value->intValue();
    if (!number)
        throw wrongKind(key, "an integer");
    return number;
}

std::optional<bool> ParamReader::optionalBool(std::string_view key) const {
    const auto* value = find(key);
    if (!value)
        return std::nullopt;
    auto flag = value->boolValue();
    if (!flag)
        throw wrongKind(key, "a boolean");
    return flag;
}

std::vector<rpc::Params> ParamReader::objects(std::string_view key) const {
    const auto* value = find(key);
    if (!value)
        throw missing(key, "array");
    const auto* items = value->arrayValue();
    if (!items)
        throw wrongKind(key, "an array");
    std::vector<rpc::Params> result;
    result.reserve(items->size());
    for (const auto& item : *items) {
        if (!item.is_object())
            throw wrongKind(key, "an array of objects");
        rpc::Params params;
        for (const auto& member : item.get_object())
            params.emplace(std::string(member.key()), rpc::AnyCodable::fromJSON(member.value()));
        result.push_back(std::move(params));
    }
    return result;
}

std::optional<std::int64_t> ParamReader::optionalCount(std::string_view key) const {
    auto number = optionalInteger(key);
    if (number && *number < 0)
        throw AgentError::invalidParams(quoted(key) + " must not be negative");
    return number;
}

}  // namespace quorvale::agent
