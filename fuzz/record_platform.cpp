#include "fuzz/record_platform.h"

#include <cstring>
#include <memory>
#include <string_view>

#include "platform/rt_errors.h"
#include "platform/rt_services.h"

namespace {

constexpr RTHANDLE kRecordHandle = 11;
constexpr std::string_view kRecordName = "R?H$C$NAME";

const std::uint8_t* objectData = nullptr;
std::size_t objectSize = 0;
std::unique_ptr<std::uint8_t[]> mapping;
bool strayFree = false;
std::uint32_t lastError = 0;

}  // namespace

namespace fuzz {

void SetRecordObject(const std::uint8_t* data, std::size_t size) {
    objectData = data;
    objectSize = size;
    strayFree = false;
    lastError = 0;
}

bool MappingsBalanced() {
    return mapping == nullptr && !strayFree;
}

}  // namespace fuzz

RTHANDLE LookupRtHandle(RTHANDLE directory, const char* name, std::uint32_t /*waitMs*/) {
    if (directory != fuzz::kDriverProcess || name == nullptr || name != kRecordName) {
        lastError = kRtErrNotFound;
        return BAD_RTHANDLE;
    }
    return kRecordHandle;
}

std::uint16_t GetRtHandleType(RTHANDLE handle) {
    return handle == kRecordHandle ? kRtTypeMemory : kRtTypeNone;
}

void* MapRtSharedMemory(RTHANDLE memory) {
    if (memory != kRecordHandle || mapping != nullptr) {
        lastError = kRtErrBadHandle;
        return nullptr;
    }
    mapping = std::make_unique_for_overwrite<std::uint8_t[]>(objectSize);
    if (objectSize != 0) {
        std::memcpy(mapping.get(), objectData, objectSize);
    }
    return mapping.get();
}

std::uint32_t GetRtSharedMemorySize(RTHANDLE memory) {
    return memory == kRecordHandle ? static_cast<std::uint32_t>(objectSize) : 0;
}

bool FreeRtMemory(void* memory) {
    if (memory == nullptr || memory != mapping.get()) {
        strayFree = true;
        return false;
    }
    mapping.reset();
    return true;
}

std::uint32_t GetLastRtError() {
    return lastError;
}
