// The mailbox state of one slave, created on the first message: its object
// dictionary, the counters, the replies waiting for SM1 and a segmented
// transfer in progress. Private to the slave's sources.
#pragma once

#include <memory>
#include <vector>

#include "emulator/slave.h"

namespace parvane::emulator {

struct Slave::MailboxRuntime {
    // The dictionary is the model's, shared, until the first download gives
    // the slave a copy of its own, with its identity in 0x1018. Until then
    // 0x1018 is read from the identity alone, without a copy.
    std::shared_ptr<const ObjectDictionary> shared;
    std::unique_ptr<ObjectDictionary> own;
    IdentityObject identity;
    const ObjectDictionary& dictionary() const { return own ? *own : *shared; }
    ObjectDictionary& writableDictionary() {
        if (!own) {
            own = std::make_unique<ObjectDictionary>(*shared);
            if (own->Has(kIdentityIndex))
                AddIdentity(*own);
        }
        return *own;
    }
    std::expected<std::vector<std::uint8_t>, AbortCode> Upload(std::uint16_t index,
                                                               std::uint8_t subIndex,
                                                               bool completeAccess) const {
        if (!own && index == kIdentityIndex && shared->Has(index)) {
            ObjectDictionary identityOnly;
            AddIdentity(identityOnly);
            return identityOnly.Upload(index, subIndex, completeAccess);
        }
        return dictionary().Upload(index, subIndex, completeAccess);
    }

  private:
    static constexpr std::uint16_t kIdentityIndex = 0x1018;
    void AddIdentity(ObjectDictionary& od) const {
        const eni::SlaveIdentity& id = identity.identity;
        od.AddArray(kIdentityIndex, {id.vendorId, id.productCode, id.revisionNo, identity.serialNo},
                    4, false, false);
    }

  public:
    int lastCounterIn = -1;
    std::uint8_t counterOut = 0;
    std::vector<std::vector<std::uint8_t>> queue;  // whole mailbox messages, oldest first
    std::vector<std::uint8_t> lastReply;
    // A segmented download in progress.
    bool downloading = false;
    std::uint16_t index = 0;
    std::uint8_t subIndex = 0;
    bool completeAccess = false;
    std::uint32_t size = 0;
    bool toggle = false;
    std::vector<std::uint8_t> data;
    // A segmented upload in progress.
    bool uploading = false;
    std::size_t uploadAt = 0;
};

}  // namespace parvane::emulator
