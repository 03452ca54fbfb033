// The CoE SDO server of an emulated slave: expedited, normal, complete-access
// and segmented downloads and uploads against the slave's object dictionary,
// and the abort codes a device answers with. It turns one SDO request (the
// CoE payload after the CoE header) into the CoE message to send back.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "ecat/al_state.h"
#include "emulator/object_dictionary.h"
#include "emulator/slave_model.h"

namespace parvane::emulator {

class CoeServer {
  public:
    CoeServer(std::shared_ptr<const ObjectDictionary> dictionary, const IdentityObject& identity);

    // The reply to one SDO request, empty when none is due (an abort from
    // the master). `replyCapacity` is the size of the slave's mailbox.
    std::vector<std::uint8_t> Handle(std::span<const std::uint8_t> request, ecat::AlState state,
                                     std::size_t replyCapacity);

    // The dictionary as the master has written it so far.
    const ObjectDictionary& dictionary() const { return own_ ? *own_ : *shared_; }
    // Back in INIT: the writes are forgotten, transfers under way dropped.
    void Reset();

  private:
    struct Request;
    std::vector<std::uint8_t> Download(const Request& r, ecat::AlState state);
    std::vector<std::uint8_t> DownloadSegment(const Request& r, ecat::AlState state);
    std::vector<std::uint8_t> Upload(const Request& r, std::size_t replyCapacity);
    std::vector<std::uint8_t> UploadSegment(const Request& r, std::size_t replyCapacity);

    ObjectDictionary& writableDictionary();
    std::expected<std::vector<std::uint8_t>, AbortCode> Read(std::uint16_t index,
                                                             std::uint8_t subIndex,
                                                             bool completeAccess) const;
    void AddIdentity(ObjectDictionary& od) const;

    // The dictionary is the model's, shared, until the first download gives
    // the slave a copy of its own, with its identity in 0x1018. Until then
    // 0x1018 is read from the identity alone, without a copy.
    std::shared_ptr<const ObjectDictionary> shared_;
    std::unique_ptr<ObjectDictionary> own_;
    IdentityObject identity_;

    // A segmented transfer in progress: its object, the toggle the next
    // segment must carry, the data so far (download) or to send (upload).
    bool downloading_ = false;
    bool uploading_ = false;
    bool toggle_ = false;
    bool completeAccess_ = false;
    std::uint16_t index_ = 0;
    std::uint8_t subIndex_ = 0;
    std::uint32_t size_ = 0;
    std::size_t uploadAt_ = 0;
    std::vector<std::uint8_t> data_;
};

}  // namespace parvane::emulator
