// ModuleServer: the module model on the loopback ports of a LoopbackServer,
// its capture, and the views tests take while it serves.
#include "module.h"

#include "module_model.h"

namespace vrnsim {

ModuleServer::ModuleServer(ModuleConfig config) : config_(std::move(config)) {}

ModuleServer::~ModuleServer() { stop(); }

bool ModuleServer::start(std::string* error) {
    std::string dummy;
    if (!error) error = &dummy;
    if (running_) return true;
    {
        // A restart opens the flash file again: the old store lets it go first.
        std::lock_guard<std::mutex> lk(mu_);
        module_.reset();
    }
    std::uint32_t ip = plat_inet_addr(config_.address.c_str());
    if (ip == 0xFFFFFFFFu || !is_loopback_address(ip)) {
        *error = not_loopback_message(config_.address);
        return false;
    }
    if (config_.base_port == 0 || config_.base_port > 65532) {
        *error = "base port " + std::to_string(config_.base_port) + " leaves no room for four ports";
        return false;
    }
    if (!ports_.open(config_.address, config_.base_port, error)) return false;
    std::unique_ptr<Module> m = Module::create(config_, error);
    if (!m) {
        ports_.stop();
        return false;
    }
    pcap_.reset();
    if (!config_.pcap_file.empty()) {
        pcap_ = std::make_unique<PcapWriter>();
        // A restart of this server goes on with the capture it began.
        if (!pcap_->open(config_.pcap_file, pcap_begun_, error)) {
            ports_.stop();
            return false;
        }
        pcap_begun_ = true;
    }
    m->set_foreign_available(!ports_.foreign_address().empty());
    {
        std::lock_guard<std::mutex> lk(mu_);
        module_ = std::move(m);
    }
    LoopbackServer::Handler handler;
    handler.receive = [this](int socket, const VrnSockAddr& from, const std::uint8_t* data, std::size_t size,
                             LoopbackServer::Clock::time_point now) {
        std::lock_guard<std::mutex> lk(mu_);
        return module_->receive(data, size, socket, from, now);
    };
    handler.poll = [this](LoopbackServer::Clock::time_point now) {
        std::lock_guard<std::mutex> lk(mu_);
        return module_->poll(now);
    };
    handler.next_due = [this] {
        std::lock_guard<std::mutex> lk(mu_);
        return module_->next_due();
    };
    if (pcap_)
        handler.tap = [this](const VrnSockAddr& from, const VrnSockAddr& to, const std::uint8_t* data,
                             std::size_t size) { pcap_->datagram(from, to, data, size); };
    ports_.start(std::move(handler));
    running_ = true;
    return true;
}

void ModuleServer::stop() {
    if (!running_) return;
    ports_.stop();
    running_ = false;
    pcap_.reset();  // closes the capture; each record was written whole as it came
    // The module (and with it the flash store) stays for the views until
    // the server goes; the store's writes were durable as they were made.
}

std::uint16_t ModuleServer::base_port() const { return config_.base_port; }

std::string ModuleServer::address() const { return config_.address + ":" + std::to_string(config_.base_port); }

std::vector<BusEvent> ModuleServer::bus_log() const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->bus_log() : std::vector<BusEvent>{};
}

std::vector<RegEvent> ModuleServer::reg_log() const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->reg_log() : std::vector<RegEvent>{};
}

void ModuleServer::clear_logs() {
    std::lock_guard<std::mutex> lk(mu_);
    if (module_) module_->clear_logs();
}

std::uint16_t ModuleServer::cell(std::size_t index) const {
    std::lock_guard<std::mutex> lk(mu_);
    if (!module_ || index >= module_->store().cells()) return 0xFFFF;
    return module_->store().get(index);
}

std::size_t ModuleServer::cells() const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->store().cells() : 0;
}

std::string ModuleServer::flash_error() const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->store().write_error() : std::string();
}

std::string ModuleServer::pcap_error() const { return pcap_ ? pcap_->error() : std::string(); }

void ModuleServer::set_chip_faults(const ChipFaults& faults) {
    std::lock_guard<std::mutex> lk(mu_);
    config_.chip.faults = faults;
    if (module_) module_->chip().faults() = faults;
}

std::uint64_t ModuleServer::requests_seen() const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->requests_seen() : 0;
}

std::uint64_t ModuleServer::refused() const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->refused() : 0;
}

FaultCounts ModuleServer::fault_counts() const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->faults().counts() : FaultCounts{};
}

std::string ModuleServer::fault_summary() const {
    std::lock_guard<std::mutex> lk(mu_);
    if (!module_) return "no module";
    return module_->faults().summary() + " (command datagrams " + std::to_string(module_->requests_seen()) +
           ", refused " + std::to_string(module_->refused()) +
           (config_.queue_depth > 0 ? ", lost to a full queue " + std::to_string(module_->queue_full()) : "") + ")";
}

void ModuleServer::set_wire_faults(const WireFaults& faults) {
    std::lock_guard<std::mutex> lk(mu_);
    config_.faults = faults;
    if (module_) module_->set_wire_faults(faults);
}

std::uint16_t ModuleServer::other_port() const { return ports_.other_port(); }

std::string ModuleServer::foreign_address() const { return ports_.foreign_address(); }

std::vector<std::uint8_t> ModuleServer::stream_received(int port_index) const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->channels().captured(port_index) : std::vector<std::uint8_t>{};
}

std::uint64_t ModuleServer::stream_datagrams(int port_index) const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->channels().datagrams_in(port_index) : 0;
}

}  // namespace vrnsim
