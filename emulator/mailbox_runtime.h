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
    // the slave a copy of its own.
    std::shared_ptr<const ObjectDictionary> shared;
    std::unique_ptr<ObjectDictionary> own;
    const ObjectDictionary& dictionary() const { return own ? *own : *shared; }
    ObjectDictionary& writableDictionary() {
        if (!own)
            own = std::make_unique<ObjectDictionary>(*shared);
        return *own;
    }

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
