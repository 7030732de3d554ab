// The module model served on loopback for a benchmark, at the first base
// port from 23000 on that is free (for several models: free on all their
// addresses).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "module.h"

// One server per configuration, all on one base port; empty when no base
// port is free for them all.
inline std::vector<std::unique_ptr<vrnsim::ModuleServer>> start_model_servers(
    std::vector<vrnsim::ModuleConfig> configs) {
    for (std::uint16_t base = 23000; base < 29990; base += 10) {
        std::vector<std::unique_ptr<vrnsim::ModuleServer>> servers;
        for (vrnsim::ModuleConfig& config : configs) {
            config.base_port = base;
            auto server = std::make_unique<vrnsim::ModuleServer>(config);
            std::string error;
            if (!server->start(&error)) break;
            servers.push_back(std::move(server));
        }
        if (servers.size() == configs.size()) return servers;
    }
    return {};
}

inline std::unique_ptr<vrnsim::ModuleServer> start_model_server(vrnsim::ModuleConfig config) {
    std::vector<std::unique_ptr<vrnsim::ModuleServer>> one = start_model_servers({config});
    return one.empty() ? nullptr : std::move(one.front());
}
