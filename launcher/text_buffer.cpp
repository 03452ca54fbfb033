#include "launcher/text_buffer.h"

#include <cstring>

#include "platform/rt_services.h"

char* ObtainTextBuffer() {
    void* memory = AllocateRtMemory(kTextBufferSize);
    if (memory == nullptr) {
        return nullptr;
    }
    std::memset(memory, 0, kTextBufferSize);
    return static_cast<char*>(memory);
}
