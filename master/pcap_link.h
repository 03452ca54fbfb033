// A frame link that records every frame sent and received on another link
// in a pcap file (Ethernet link type) for Wireshark, with the time each
// passed. Recording never changes what the master sees: a frame the file
// cannot take is logged once and the exchange goes on.
#pragma once

#include <expected>
#include <memory>
#include <mutex>
#include <string>

#include "ecat/link.h"
#include "master/error.h"

namespace parvane::master {

class PcapLink : public ecat::Link {
  public:
    // Creates (or truncates) the file; when it cannot, the log says why in
    // libpcap's words and the error names the failed call.
    static std::expected<std::unique_ptr<PcapLink>, Error> Open(ecat::Link& inner,
                                                                const std::string& path);
    ~PcapLink() override;

    std::expected<void, ecat::LinkError> Send(std::span<const std::uint8_t> frame) override;
    std::expected<std::size_t, ecat::LinkError> Receive(std::span<std::uint8_t> buffer,
                                                        Clock::time_point deadline) override;

    std::uint64_t framesRecorded() const;

    struct Files;  // the libpcap handles
    PcapLink(ecat::Link& inner, std::unique_ptr<Files> files);

  private:
    void Record(std::span<const std::uint8_t> frame);

    ecat::Link& inner_;
    std::unique_ptr<Files> files_;
    mutable std::mutex mutex_;
    std::uint64_t recorded_ = 0;
    Clock::time_point lastFlush_{};
};

}  // namespace parvane::master
