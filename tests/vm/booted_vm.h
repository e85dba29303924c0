#pragma once
// A VM booted on one disk, with a transport that answered "ping", for the VM tests that call the
// agent's methods directly.

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "guest/vsock_transport.h"
#include "rpc/base64.h"
#include "rpc/device_name.h"
#include "vm_test_support.h"

namespace quorvale::guest::testing {

// A booted VM on one image with a transport that answered "ping".
struct BootedVM {
    VMLifecycleService service{VMResources(buildResources())};
    VsockTransport transport;
    std::string partition;  // "partition" parameter of every call; empty: none

    BootedVM(UniqueFd disk, std::string partition = {}) : partition(std::move(partition)) {
        // The disk carries the whole-disk name of the partition the calls name.
        const auto whole = rpc::wholeDiskName(this->partition);
        std::vector<VMDisk> disks;
        disks.push_back({QString::fromStdString(whole.value_or("image0")), std::move(disk)});
        run(service.bootVM(std::move(disks)));
        UniqueFd stream = waitForAgent(service);
        if (!stream.valid())
            throw std::runtime_error("the agent never answered");
        transport.connect(std::move(stream));
    }
    ~BootedVM() {
        transport.disconnect();
        run(service.stopVM());
    }

    rpc::AnyCodable call(const std::string& method, rpc::Params params = {},
                         std::chrono::seconds timeout = std::chrono::seconds(30)) {
        if (!partition.empty())
            params["partition"] = rpc::AnyCodable(partition);
        auto reply = run(transport.send(method, std::move(params), timeout));
        return reply ? *reply : rpc::AnyCodable();
    }
    std::vector<std::string> names(const std::string& path) {
        std::vector<std::string> result;
        const rpc::AnyCodable listing = call("list_dir", {{"path", rpc::AnyCodable(path)}});
        for (const auto& entry : *listing.arrayValue())
            result.emplace_back(entry.as_object().at("name").as_string());
        std::sort(result.begin(), result.end());
        return result;
    }
    std::string read(const std::string& path) {
        const rpc::AnyCodable data = call("read_file", {{"path", rpc::AnyCodable(path)}});
        return rpc::base64Decode(*data.stringValue()).value();
    }
    void write(const std::string& path, const std::string& bytes) {
        call("write_file", {{"path", rpc::AnyCodable(path)},
                            {"data_b64", rpc::AnyCodable(rpc::base64Encode(bytes))}});
    }
};

}  // namespace quorvale::guest::testing
