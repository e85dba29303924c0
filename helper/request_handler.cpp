#include "helper/request_handler.h"

#include <unistd.h>

#include <cstdio>

#include "helper/refusal.h"
#include "rpc/device_name.h"
#include "rpc/json_rpc.h"

#ifndef QUORVALE_VERSION
#define QUORVALE_VERSION "0.0.0"
#endif

namespace quorvale::helper {

namespace {

std::string printable(std::string_view text, std::size_t limit = 64) {
    std::string out;
    for (const char c : text.substr(0, limit)) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    if (text.size() > limit)
        out += "...";
    return out;
}

std::string stringParam(const rpc::Params& params, const char* key) {
    const auto it = params.find(key);
    const auto value = it == params.end() ? std::nullopt : it->second.stringValue();
    if (!value) {
        throw rpc::JSONRPCError(rpc::JSONRPCError::invalidParams,
                                std::string("Missing string parameter \"") + key + "\"");
    }
    return std::string(*value);
}

// The "bsd_name" parameter, a plain device name: it names a claim and goes into messages.
std::string diskName(const rpc::Params& params) {
    std::string name = stringParam(params, "bsd_name");
    if (!rpc::isDeviceName(name))
        throw Refusal(Refusal::Kind::invalidRequest, "Invalid device name");
    return name;
}

bool boolParam(const rpc::Params& params, const char* key) {
    const auto it = params.find(key);
    if (it == params.end())
        return false;
    const auto value = it->second.boolValue();
    if (!value) {
        throw rpc::JSONRPCError(rpc::JSONRPCError::invalidParams,
                                std::string("Parameter \"") + key + "\" must be a Boolean");
    }
    return *value;
}

rpc::JSONRPCError asError(const Refusal& refusal) {
    const auto code = refusal.kind == Refusal::Kind::invalidRequest
                          ? rpc::JSONRPCError::invalidParams
                          : std::int64_t{-32000};
    return rpc::JSONRPCError(code, refusal.what());
}

}  // namespace

void audit(const PeerCredentials& peer, std::string_view method, std::string_view detail,
           std::string_view outcome) {
    std::string line = "audit: uid=" + std::to_string(static_cast<long>(peer.uid)) +
                       " pid=" + std::to_string(peer.pid) + " method=" + printable(method);
    if (!detail.empty())
        line += " " + printable(detail);
    line += " -> " + printable(outcome, 512) + "\n";
    // One write per line keeps lines from concurrent connections whole.
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
}

const std::map<std::string, RequestHandler::Method, std::less<>>& RequestHandler::methods() {
    static const std::map<std::string, Method, std::less<>> table{
        {"ping", &RequestHandler::ping},
        {"get_version", &RequestHandler::getVersion},
        {"open_disk", &RequestHandler::openDisk},
        {"open_held_disk", &RequestHandler::openHeldDisk},
        {"release_disk", &RequestHandler::releaseDisk},
        {"eject_disk", &RequestHandler::ejectDisk},
    };
    return table;
}

Reply RequestHandler::handle(std::string_view line, const PeerCredentials& peer, DiskClaims& claims,
                             PassedFds passed) const {
    std::optional<std::int64_t> id;
    std::string method = "?";
    std::string detail;
    try {
        auto request = rpc::JSONRPCRequest::decode(line);
        id = request.id;
        method = request.method;
        if (const auto it = request.params.find("bsd_name"); it != request.params.end()) {
            detail = "disk=" + std::string(it->second.stringValue().value_or("?"));
            if (const auto ro = request.params.find("read_only"); ro != request.params.end())
                detail += ro->second.boolValue().value_or(false) ? " ro" : " rw";
        }
        if (!passed.fds.empty() || passed.overflowed) {
            detail += (detail.empty() ? "fds=" : " fds=") + std::to_string(passed.fds.size()) +
                      (passed.overflowed ? "+" : "");
        }
        authorizer_.authorize(peer);
        const auto handler = methods().find(request.method);
        if (handler == methods().end()) {
            throw rpc::JSONRPCError(rpc::JSONRPCError::methodNotFound,
                                    "Method not found: " + printable(request.method));
        }
        Exchange exchange{std::move(passed), claims, {}};
        const auto result = (this->*(handler->second))(request.params, exchange);
        Reply reply{rpc::JSONRPCResponse::encodeResult(request.id, result),
                    std::move(exchange.reply)};
        audit(peer, method, detail, "ok");
        return reply;
    } catch (const Refusal& refusal) {
        audit(peer, method, detail, refusal.what());
        return {rpc::JSONRPCResponse::encodeError(id, asError(refusal)), {}};
    } catch (const rpc::JSONRPCError& error) {
        audit(peer, method, detail, error.what());
        return {rpc::JSONRPCResponse::encodeError(id, error), {}};
    } catch (const std::exception& error) {
        // Undecodable lines and anything unexpected answer as a parse or internal error.
        const bool parse = dynamic_cast<const rpc::DecodingError*>(&error) != nullptr;
        const rpc::JSONRPCError reply(
            parse ? rpc::JSONRPCError::parseError : rpc::JSONRPCError::internalError, error.what());
        audit(peer, method, detail, error.what());
        return {rpc::JSONRPCResponse::encodeError(id, reply), {}};
    }
}

Reply RequestHandler::connectionRefused(const PeerCredentials& peer, const Refusal& refusal) {
    audit(peer, "connect", "", refusal.what());
    return {rpc::JSONRPCResponse::encodeError(std::nullopt, asError(refusal)), {}};
}

Reply RequestHandler::requestTimedOut(const PeerCredentials& peer) {
    const rpc::JSONRPCError error(rpc::JSONRPCError::invalidRequest,
                                  "Request line not completed in time");
    audit(peer, "?", "", error.what());
    return {rpc::JSONRPCResponse::encodeError(std::nullopt, error), {}};
}

Reply RequestHandler::lineTooLong(const PeerCredentials& peer) {
    const rpc::JSONRPCError error(rpc::JSONRPCError::invalidRequest, "Request line too long");
    audit(peer, "?", "", error.what());
    return {rpc::JSONRPCResponse::encodeError(std::nullopt, error), {}};
}

boost::json::value RequestHandler::ping(const rpc::Params&, Exchange&) const {
    return true;
}

boost::json::value RequestHandler::getVersion(const rpc::Params&, Exchange&) const {
    return boost::json::string("quorvale-helper " QUORVALE_VERSION);
}

boost::json::value RequestHandler::openDisk(const rpc::Params& params, Exchange& exchange) const {
    const auto name = diskName(params);
    const auto mode = boolParam(params, "read_only") ? OpenMode::readOnly : OpenMode::readWrite;
    // The connection's own earlier claim would keep its new exclusive open out.
    exchange.claims.release(name);
    exchange.claims.checkRoom();
    exchange.reply = disks_.open(name, mode);
    exchange.claims.remember(name, exchange.reply.get());
    return boost::json::object{{"fd_count", 1}};
}

boost::json::value RequestHandler::openHeldDisk(const rpc::Params& params,
                                                Exchange& exchange) const {
    const auto name = diskName(params);
    if (exchange.passed.overflowed || exchange.passed.fds.size() != 1) {
        throw Refusal(Refusal::Kind::invalidRequest,
                      "open_held_disk takes exactly one descriptor, the disk's, passed with "
                      "the request");
    }
    const HandedDisk& claim = exchange.claims.proof(name, exchange.passed.fds.front().get());
    exchange.reply = disks_.openHeld(claim);
    return boost::json::object{{"fd_count", 1}};
}

boost::json::value RequestHandler::releaseDisk(const rpc::Params& params,
                                               Exchange& exchange) const {
    exchange.claims.release(diskName(params));
    return true;
}

boost::json::value RequestHandler::ejectDisk(const rpc::Params& params, Exchange& exchange) const {
    const auto name = diskName(params);
    exchange.claims.release(name);
    disks_.eject(name);
    return true;
}

}  // namespace quorvale::helper
