#include "master/pcap_link.h"

#include <pcap/pcap.h>
#include <sys/time.h>

#include "master/log.h"

namespace parvane::master {
namespace {

// Frames reach the disk at least this often, so a driver that is killed
// leaves a file with all but its last moments.
constexpr auto kFlushEvery = std::chrono::milliseconds(200);

}  // namespace

struct PcapLink::Files {
    pcap_t* handle = nullptr;
    pcap_dumper_t* dumper = nullptr;

    ~Files() {
        if (dumper != nullptr)
            pcap_dump_close(dumper);
        if (handle != nullptr)
            pcap_close(handle);
    }
};

PcapLink::PcapLink(ecat::Link& inner, std::unique_ptr<Files> files)
    : inner_(inner), files_(std::move(files)) {}

PcapLink::~PcapLink() {
    if (files_ && files_->dumper != nullptr)
        pcap_dump_flush(files_->dumper);
}

std::expected<std::unique_ptr<PcapLink>, Error> PcapLink::Open(ecat::Link& inner,
                                                               const std::string& path) {
    auto files = std::make_unique<Files>();
    files->handle = pcap_open_dead(DLT_EN10MB, 65535);
    if (files->handle == nullptr) {
        Log("cannot start a pcap recording; frames are not recorded");
        return std::unexpected(Error{Errc::kSystem, 0, "pcap_open_dead"});
    }
    files->dumper = pcap_dump_open(files->handle, path.c_str());
    if (files->dumper == nullptr) {
        // libpcap's own words say why; they go to the log, the caller gets
        // the failed call.
        Log("cannot write the recording %s: %s; frames are not recorded", path.c_str(),
            pcap_geterr(files->handle));
        return std::unexpected(Error{Errc::kSystem, 0, "pcap_dump_open"});
    }
    return std::make_unique<PcapLink>(inner, std::move(files));
}

void PcapLink::Record(std::span<const std::uint8_t> frame) {
    pcap_pkthdr header{};
    ::gettimeofday(&header.ts, nullptr);
    header.caplen = static_cast<bpf_u_int32>(frame.size());
    header.len = static_cast<bpf_u_int32>(frame.size());
    std::lock_guard lock(mutex_);
    pcap_dump(reinterpret_cast<u_char*>(files_->dumper), &header, frame.data());
    ++recorded_;
    const auto now = Clock::now();
    if (now - lastFlush_ >= kFlushEvery) {
        pcap_dump_flush(files_->dumper);
        lastFlush_ = now;
    }
}

std::expected<void, ecat::LinkError> PcapLink::Send(std::span<const std::uint8_t> frame) {
    Record(frame);
    return inner_.Send(frame);
}

std::expected<std::size_t, ecat::LinkError> PcapLink::Receive(std::span<std::uint8_t> buffer,
                                                              Clock::time_point deadline) {
    auto got = inner_.Receive(buffer, deadline);
    if (got)
        Record(buffer.first(*got));
    return got;
}

std::uint64_t PcapLink::framesRecorded() const {
    std::lock_guard lock(mutex_);
    return recorded_;
}

}  // namespace parvane::master
