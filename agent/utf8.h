#pragma once
// The agent's text helpers: those of the rpc library (see rpc/utf8_text.h).

#include "rpc/utf8_text.h"

namespace quorvale::agent {

using rpc::escapeName;
using rpc::isValidUtf8;
using rpc::readableName;
using rpc::unescapeName;
using rpc::validUtf8;

}  // namespace quorvale::agent
