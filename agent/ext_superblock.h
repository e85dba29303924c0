#pragma once
// The superblock fields the agent decides a mount by (generation, label, a journal that needs
// recovery, features the kernel only mounts read-only) come from the shared parser.

#include "rpc/ext_superblock.h"

namespace quorvale::agent {

using rpc::ExtSuperblock;
using rpc::extSuperblockOffset;
using rpc::extSuperblockSize;
using rpc::parseExtSuperblock;

}  // namespace quorvale::agent
