#include "driver/wires.h"

#include "driver/log.h"
#include "emulator/in_process_link.h"
#include "emulator/network.h"
#include "master/pcap_link.h"
#include "master/raw_socket_link.h"

namespace parvane::driver {
namespace {

class Emulated : public Wire {
  public:
    explicit Emulated(std::unique_ptr<emulator::Segment> segment)
        : segment_(std::move(segment)), link_(*segment_) {
        description_ = "the emulated segment of " + std::to_string(segment_->size()) + " slaves";
    }
    ecat::Link& link() override { return link_; }
    const char* description() const override { return description_.c_str(); }

  private:
    std::unique_ptr<emulator::Segment> segment_;
    emulator::InProcessLink link_;
    std::string description_;
};

class Interface : public Wire {
  public:
    explicit Interface(std::unique_ptr<master::RawSocketLink> link)
        : link_(std::move(link)), description_("interface " + link_->interface()) {}
    ecat::Link& link() override { return *link_; }
    const char* description() const override { return description_.c_str(); }

  private:
    std::unique_ptr<master::RawSocketLink> link_;
    std::string description_;
};

class Recording : public Wire {
  public:
    Recording(std::unique_ptr<Wire> inner, std::unique_ptr<master::PcapLink> pcap,
              const std::string& path)
        : inner_(std::move(inner)),
          pcap_(std::move(pcap)),
          description_(std::string(inner_->description()) + ", recorded in " + path) {}
    ~Recording() override {
        Log("pcap recording: %llu frames",
            static_cast<unsigned long long>(pcap_->framesRecorded()));
    }
    ecat::Link& link() override { return *pcap_; }
    const char* description() const override { return description_.c_str(); }

  private:
    std::unique_ptr<Wire> inner_;
    std::unique_ptr<master::PcapLink> pcap_;
    std::string description_;
};

}  // namespace

std::unique_ptr<Wire> EmulatedWire(const eni::NetworkConfig& config,
                                   const emulator::Description& description) {
    return std::make_unique<Emulated>(emulator::BuildSegment(config, description));
}

std::expected<std::unique_ptr<Wire>, Error> InterfaceWire(const std::string& interface) {
    auto link = master::RawSocketLink::Open(interface);
    if (!link)
        return std::unexpected(
            Error{master::RawSocketLink::Refusal(link.error(), interface), interface});
    return std::make_unique<Interface>(std::move(*link));
}

std::unique_ptr<Wire> Recorded(std::unique_ptr<Wire> inner, const std::string& path) {
    auto pcap = master::PcapLink::Open(inner->link(), path);
    if (!pcap)
        return inner;  // the master's log says why
    return std::make_unique<Recording>(std::move(inner), std::move(*pcap), path);
}

}  // namespace parvane::driver
