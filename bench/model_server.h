// The module model served on loopback for a benchmark, at the first base
// port from 23000 on that is free.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "module.h"

inline std::unique_ptr<vrnsim::ModuleServer> start_model_server(vrnsim::ModuleConfig config) {
    for (std::uint16_t base = 23000; base < 29990; base += 10) {
        config.base_port = base;
        auto server = std::make_unique<vrnsim::ModuleServer>(config);
        std::string error;
        if (server->start(&error)) return server;
    }
    return nullptr;
}
