#include "agent/dispatcher.h"

#include <boost/json/parse.hpp>

#include <new>

#include "agent/agent_error.h"
#include "agent/log.h"

namespace quorvale::agent {

namespace {

bool isBlank(std::string_view line) {
    return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

// The integer id of a line that parsed but is not a valid request, so the caller still gets
// its answer; nothing when the line carries none.
std::optional<std::int64_t> salvageId(std::string_view line) {
    boost::system::error_code ec;
    const auto value = boost::json::parse(line, ec);
    if (ec || !value.is_object())
        return std::nullopt;
    const auto* id = value.get_object().if_contains("id");
    if (id && id->is_int64())
        return id->get_int64();
    return std::nullopt;
}

// {"jsonrpc":"2.0","id":N,"result":<text>}, with room for the framing newline.
std::string textReply(std::int64_t id, std::string_view text, bool quoted) {
    const auto idText = std::to_string(id);
    std::string line;
    line.reserve(text.size() + idText.size() + 40);
    line += R"({"jsonrpc":"2.0","id":)";
    line += idText;
    line += R"(,"result":)";
    if (quoted)
        line += '"';
    line += text;
    if (quoted)
        line += '"';
    line += '}';
    return line;
}

}  // namespace

void Dispatcher::add(std::string method, Handler handler) {
    handlers_.insert_or_assign(std::move(method), std::move(handler));
}

void Dispatcher::add(std::string method, PlainHandler handler) {
    add(std::move(method),
        Handler([handler = std::move(handler)](const ParamReader& params, const CallContext&) {
            return handler(params);
        }));
}

void Dispatcher::onSessionEnd(std::function<void(std::uint64_t)> hook) {
    sessionEndHooks_.push_back(std::move(hook));
}

void Dispatcher::endSession(std::uint64_t session) const {
    for (const auto& hook : sessionEndHooks_) {
        try {
            hook(session);
        } catch (const std::exception& e) {
            logLine(std::string("ending a session: ") + e.what());
        }
    }
}

void Dispatcher::onRelease(std::function<void(std::optional<dev_t>)> hook) {
    releaseHooks_.push_back(std::move(hook));
}

void Dispatcher::release(std::optional<dev_t> device) const {
    for (const auto& hook : releaseHooks_)
        hook(device);
}

std::optional<std::string> Dispatcher::handleLine(std::string_view line,
                                                  const CallContext& context) const {
    if (isBlank(line))
        return std::nullopt;
    std::optional<std::int64_t> id;
    try {
        auto request = rpc::JSONRPCRequest::decode(line);
        id = request.id;
        const auto it = handlers_.find(request.method);
        if (it == handlers_.end()) {
            throw AgentError(AgentError::Kind::methodNotFound, 0,
                             "Method not found: " + request.method);
        }
        const ParamReader params(request.params);
        auto result = it->second(params, context);
        if (!result.text)
            return rpc::JSONRPCResponse::encodeResult(request.id, result.value);
        return textReply(request.id, *result.text, result.quoted);
    } catch (...) {
        const auto error = errorFor(std::current_exception());
        if (!id && error.code != rpc::JSONRPCError::parseError)
            id = salvageId(line);
        try {
            return rpc::JSONRPCResponse::encodeError(id, error);
        } catch (...) {
            return std::string(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32603,)"
                               R"("message":"Internal error"}})");
        }
    }
}

rpc::JSONRPCError Dispatcher::errorFor(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const AgentError& e) {
        return {e.code(), e.what()};
    } catch (const rpc::JSONRPCError& e) {
        return {e.code, e.message};
    } catch (const rpc::DecodingError& e) {
        return {rpc::JSONRPCError::parseError, std::string("Parse error: ") + e.what()};
    } catch (const std::bad_alloc&) {
        return {-ENOMEM, "Out of memory"};
    } catch (const std::exception& e) {
        logLine(std::string("request failed: ") + e.what());
        return {rpc::JSONRPCError::internalError, std::string("Internal error: ") + e.what()};
    } catch (...) {
        return {rpc::JSONRPCError::internalError, "Internal error"};
    }
}

}  // namespace quorvale::agent
