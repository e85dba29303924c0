#pragma once
// Dispatcher: the method table. It knows nothing of connections: one request line in, one
// reply line out. Handlers read their parameters through ParamReader and return the result
// value; every failure (bad JSON, unknown method, bad params, a handler's exception of any
// kind) becomes an error reply in one place, errorFor(), and never escapes.

#include <sys/types.h>

#include <boost/json/value.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/param_reader.h"
#include "rpc/json_rpc.h"

namespace quorvale::agent {

// A handler's result: any JSON value; or JSON text already written (a large listing); or a
// string that needs no escaping (base64 text). Text goes into the reply line as it is,
// without another pass over megabytes of it.
class HandlerResult {
public:
    HandlerResult(boost::json::value value) : value(std::move(value)) {}
    static HandlerResult jsonText(std::string json) {
        return HandlerResult(std::move(json), false);
    }
    static HandlerResult plainString(std::string text) {
        return HandlerResult(std::move(text), true);
    }

    boost::json::value value;
    std::optional<std::string> text;
    bool quoted = false;  // `text` is the contents of a JSON string

private:
    HandlerResult(std::string text, bool quoted) : text(std::move(text)), quoted(quoted) {}
};

// Where a call comes from: one session per connection (or virtio-serial session). State a
// call leaves behind, such as an upload in progress, belongs to its session.
struct CallContext {
    std::uint64_t session = 0;
};

class Dispatcher {
public:
    using Handler = std::function<HandlerResult(const ParamReader&, const CallContext&)>;
    using PlainHandler = std::function<HandlerResult(const ParamReader&)>;

    void add(std::string method, Handler handler);
    void add(std::string method, PlainHandler handler);
    // Runs `hook` with the session's id whenever a session ends.
    void onSessionEnd(std::function<void(std::uint64_t session)> hook);
    // Runs `hook` before the filesystem `device` (st_dev; nothing: every one) is unmounted, so
    // that what holds it open ends first.
    void onRelease(std::function<void(std::optional<dev_t> device)> hook);

    // The reply to one request line (without its newline); nothing for a blank line.
    std::optional<std::string> handleLine(std::string_view line,
                                          const CallContext& context = {}) const;
    // Called by the server once a session's stream has ended.
    void endSession(std::uint64_t session) const;
    void release(std::optional<dev_t> device) const;

    // The error object for the exception being handled (call inside a catch block).
    static rpc::JSONRPCError errorFor(std::exception_ptr error);

private:
    std::map<std::string, Handler, std::less<>> handlers_;
    std::vector<std::function<void(std::uint64_t)>> sessionEndHooks_;
    std::vector<std::function<void(std::optional<dev_t>)>> releaseHooks_;
};

}  // namespace quorvale::agent
