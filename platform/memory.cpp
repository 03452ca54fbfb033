// Memory services: private blocks, and memory objects that other processes
// of the node can map (a file in the creating process's folder).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "platform/entry_file.h"
#include "platform/last_error.h"
#include "platform/node.h"
#include "platform/objects.h"
#include "platform/rt_errors.h"
#include "platform/rt_services.h"

namespace fs = std::filesystem;
using namespace parvane::platform::detail;

namespace {

// Largest block AllocateRtMemory hands out.
constexpr std::uint32_t kMaxBlock = 256u * 1024 * 1024;

struct Blocks {
    std::mutex mutex;
    std::map<void*, std::unique_ptr<std::byte[]>> allocated;
    std::map<void*, std::size_t> mapped;  // address -> length
};

Blocks& TheBlocks() {
    static Blocks blocks;
    return blocks;
}

std::atomic<unsigned> memoryCounter{0};

// The file behind a memory handle; empty (last error set) otherwise.
fs::path MemoryFile(RTHANDLE memory) {
    const Node* node = CurrentNode();
    if (node == nullptr)
        return {};
    auto object = ObjectOf(memory);
    if (!object)
        return {};
    if (object->kind != ObjectKind::Memory)
        return Fail(kRtErrBadHandle, fs::path());
    return node->folder / object->file;
}

}  // namespace

void* AllocateRtMemory(std::uint32_t size) {
    if (size == 0 || size > kMaxBlock)
        return Fail<void*>(kRtErrParam, nullptr);
    std::unique_ptr<std::byte[]> block;
    try {
        block = std::make_unique<std::byte[]>(size);
    } catch (const std::bad_alloc&) {
        return Fail<void*>(kRtErrNoMemory, nullptr);
    }
    void* address = block.get();
    auto& blocks = TheBlocks();
    std::lock_guard lock(blocks.mutex);
    blocks.allocated.emplace(address, std::move(block));
    return address;
}

bool FreeRtMemory(void* memory) {
    auto& blocks = TheBlocks();
    std::lock_guard lock(blocks.mutex);
    if (auto it = blocks.allocated.find(memory); it != blocks.allocated.end()) {
        blocks.allocated.erase(it);
        return true;
    }
    if (auto it = blocks.mapped.find(memory); it != blocks.mapped.end()) {
        munmap(it->first, it->second);
        blocks.mapped.erase(it);
        return true;
    }
    return Fail(kRtErrParam, false);
}

RTHANDLE CreateRtSharedMemory(const void* contents, std::uint32_t size) {
    if (contents == nullptr || size == 0)
        return Fail(kRtErrParam, BAD_RTHANDLE);
    const Node* node = CurrentNode();
    if (node == nullptr)
        return BAD_RTHANDLE;
    fs::path folder = ProcessFolderOf(*node, node->pid, node->start);
    std::string name = "mem-" + std::to_string(memoryCounter.fetch_add(1));
    fs::path temp =
        WriteTempFile(folder, std::string_view(static_cast<const char*>(contents), size));
    if (temp.empty())
        return Fail(ErrorFromErrno(errno), BAD_RTHANDLE);
    if (rename(temp.c_str(), (folder / name).c_str()) != 0) {
        int saved = errno;
        unlink(temp.c_str());
        return Fail(ErrorFromErrno(saved), BAD_RTHANDLE);
    }
    std::string relative = "proc/" + ProcessFolderName(node->pid, node->start) + "/" + name;
    return HandleFor(ObjectRef{ObjectKind::Memory, -1, 0, relative});
}

void* MapRtSharedMemory(RTHANDLE memory) {
    fs::path file = MemoryFile(memory);
    if (file.empty())
        return nullptr;
    int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return Fail<void*>(errno == ENOENT ? kRtErrBadHandle : ErrorFromErrno(errno), nullptr);
    struct stat st {};
    void* address = MAP_FAILED;
    if (fstat(fd, &st) == 0 && st.st_size > 0)
        address = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (address == MAP_FAILED)
        return Fail<void*>(kRtErrNoMemory, nullptr);
    auto& blocks = TheBlocks();
    std::lock_guard lock(blocks.mutex);
    blocks.mapped.emplace(address, static_cast<std::size_t>(st.st_size));
    return address;
}

std::uint32_t GetRtSharedMemorySize(RTHANDLE memory) {
    fs::path file = MemoryFile(memory);
    if (file.empty())
        return 0;
    struct stat st {};
    if (stat(file.c_str(), &st) != 0)
        return Fail<std::uint32_t>(kRtErrBadHandle, 0);
    if (st.st_size > std::numeric_limits<std::uint32_t>::max())
        return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(st.st_size);
}
