#include "tests/launcher/fake_platform.h"

#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include "platform/node_run.h"

namespace fake {
namespace {

struct Object {
    std::string label;
    bool live = true;
    bool memory = false;
    std::vector<unsigned char> bytes;
    std::map<std::string, RTHANDLE> directory;
};

struct State {
    std::map<RTHANDLE, Object> objects;
    RTHANDLE next = kRoot + 1;
    Script script;
    std::vector<Started> started;
    RTHANDLE starting = BAD_RTHANDLE;  // started, not yet run
    std::uint64_t nowMs = 0;
    std::optional<std::uint64_t> stoppedAtMs;
    std::vector<std::unique_ptr<unsigned char[]>> allocations;
    std::map<void*, std::unique_ptr<unsigned char[]>> mappings;
    int allocationCount = 0;
    std::uint32_t lastError = 0;
};

State& state() {
    static State s;
    return s;
}

Object* Get(RTHANDLE h) {
    auto it = state().objects.find(h);
    return it == state().objects.end() ? nullptr : &it->second;
}

Object Named(const std::string& label) {
    Object object;
    object.label = label;
    return object;
}

void Fail() {
    state().lastError = state().script.failureError;
}

RTHANDLE AddObject(Object object) {
    RTHANDLE h = state().next++;
    state().objects[h] = std::move(object);
    return h;
}

// The process started last does what the script says, as a real one would
// while the launcher waits for it.
void RunStartedProcess() {
    const RTHANDLE process = std::exchange(state().starting, BAD_RTHANDLE);
    const StartBehaviour start = state().script.start;
    if (process == BAD_RTHANDLE || start == StartBehaviour::kNeverCatalogues) {
        return;
    }
    if (start == StartBehaviour::kNameTaken) {
        RTHANDLE other = AddProcess("other", "PRCS_LOMADYN");
        Catalog(other, "ZU?END_INIT", AddMemory({1}));
        return;
    }
    Catalog(kRoot, "PRCS_LOMADYN", process);
    if (start == StartBehaviour::kInitialises) {
        Catalog(process, "ZU?END_INIT", AddMemory({1}));
    }
}

}  // namespace

std::string Label(RTHANDLE h) {
    auto it = state().objects.find(h);
    return it == state().objects.end() ? "#" + std::to_string(h) : it->second.label;
}

void Reset() {
    state() = State{};
    state().objects[kRoot] = Named("root");
}

Script& script() {
    return state().script;
}

RTHANDLE AddProcess(const std::string& label, const std::string& rootName) {
    RTHANDLE h = AddObject(Named(label));
    if (!rootName.empty()) {
        Catalog(kRoot, rootName, h);
    }
    return h;
}

RTHANDLE AddMemory(const std::vector<unsigned char>& bytes) {
    Object object = Named("memory");
    object.memory = true;
    object.bytes = bytes;
    return AddObject(std::move(object));
}

void Catalog(RTHANDLE directory, const std::string& name, RTHANDLE object) {
    Get(directory)->directory[name] = object;
}

void MakeStale(RTHANDLE object) {
    Get(object)->live = false;
}

bool IsLive(RTHANDLE object) {
    return Get(object) != nullptr && Get(object)->live;
}

RTHANDLE Find(RTHANDLE directory, const std::string& name) {
    Object* dir = Get(directory);
    auto it = dir->directory.find(name);
    return it == dir->directory.end() ? BAD_RTHANDLE : it->second;
}

std::vector<unsigned char> Record(std::uint8_t leadLength, const std::string& commandLine) {
    std::vector<unsigned char> bytes(1, leadLength);
    bytes.insert(bytes.end(), leadLength, 'p');
    bytes.push_back(0xEE);
    bytes.insert(bytes.end(), commandLine.begin(), commandLine.end());
    bytes.push_back('\0');
    return bytes;
}

const std::vector<Started>& StartedProcesses() {
    return state().started;
}

std::uint64_t NowMs() {
    return state().nowMs;
}

void SetLastError(std::uint32_t code) {
    state().lastError = code;
}

int OpenMappings() {
    return static_cast<int>(state().mappings.size());
}

}  // namespace fake

using fake::state;

void* AllocateRtMemory(std::uint32_t size) {
    if (++state().allocationCount == state().script.failAllocation) {
        fake::Fail();
        return nullptr;
    }
    // Filled with garbage so that a launcher relying on zeroed memory shows.
    auto block = std::make_unique<unsigned char[]>(size);
    std::memset(block.get(), 0xA5, size);
    state().allocations.push_back(std::move(block));
    return state().allocations.back().get();
}

bool FreeRtMemory(void* memory) {
    if (state().mappings.erase(memory) == 0) {
        fake::Fail();
        return false;
    }
    return true;
}

std::uint32_t GetLastRtError() {
    return state().lastError;
}

bool RtSleep(std::uint32_t milliseconds) {
    state().nowMs += milliseconds;
    return true;
}

RTHANDLE GetRtThreadHandles(std::uint32_t selector) {
    return selector == kRtRootProcess ? fake::kRoot : BAD_RTHANDLE;
}

RTHANDLE LookupRtHandle(RTHANDLE directory, const char* name, std::uint32_t waitMs) {
    if (fake::Get(directory) == nullptr) {
        fake::Fail();
        return BAD_RTHANDLE;
    }
    // A wait ends at once on what is catalogued, a stale entry included.
    RTHANDLE h = fake::Find(directory, name);
    if (h == BAD_RTHANDLE && waitMs > 0) {
        fake::RunStartedProcess();
        h = fake::Find(directory, name);
    }
    if (h == BAD_RTHANDLE) {
        state().nowMs += waitMs;
        fake::Fail();
    }
    return h;
}

bool UncatalogRtHandle(RTHANDLE directory, const char* name) {
    if (fake::Get(directory)->directory.erase(name) == 0) {
        fake::Fail();
        return false;
    }
    return true;
}

std::uint16_t GetRtHandleType(RTHANDLE handle) {
    fake::Object* object = fake::Get(handle);
    if (object == nullptr || !object->live) {
        return kRtTypeNone;
    }
    return object->memory ? kRtTypeMemory : kRtTypeProcess;
}

RTHANDLE CreateRtProcess(const char* path, const char* commandLine, void* reserved,
                         std::uint32_t flags) {
    const auto stop = state().stoppedAtMs;
    state().started.push_back({path, commandLine,
                               stop ? std::optional(state().nowMs - *stop) : std::nullopt,
                               fake::IsLive(fake::Find(fake::kRoot, "PRCS_LOMADYN"))});
    if (reserved != nullptr || flags != 0 ||
        state().script.start == fake::StartBehaviour::kRefused) {
        fake::Fail();
        return BAD_RTHANDLE;
    }
    RTHANDLE process = fake::AddProcess("new", "");
    fake::Catalog(process, "R?H$C$NAME", fake::AddMemory(fake::Record(0, commandLine)));
    state().starting = process;
    return process;
}

bool TerminateRtProcess(RTHANDLE process, std::uint32_t /*flags*/, std::uint32_t /*waitMs*/) {
    fake::MakeStale(process);
    state().stoppedAtMs = state().nowMs;
    return true;
}

void* MapRtSharedMemory(RTHANDLE memory) {
    fake::Object* object = fake::Get(memory);
    if (state().script.mapFails || object == nullptr || !object->memory || !object->live) {
        fake::Fail();
        return nullptr;
    }
    // A copy of exactly the object's size, so that reading past its end is
    // caught by the sanitizers.
    auto copy = std::make_unique<unsigned char[]>(object->bytes.size());
    if (!object->bytes.empty()) {
        std::memcpy(copy.get(), object->bytes.data(), object->bytes.size());
    }
    void* address = copy.get();
    state().mappings[address] = std::move(copy);
    return address;
}

std::uint32_t GetRtSharedMemorySize(RTHANDLE memory) {
    fake::Object* object = fake::Get(memory);
    if (object == nullptr || !object->memory || !object->live) {
        fake::Fail();
        return 0;
    }
    return static_cast<std::uint32_t>(object->bytes.size());
}

std::uint32_t GetRtModuleFilename(RTHANDLE module, char* buffer, std::uint32_t size) {
    // Only the calling program's own module (0) is known.
    const std::string& name = state().script.moduleFilename;
    if (name.empty() || module != 0) {
        fake::Fail();
        return 0;
    }
    std::uint32_t length = name.size() < size ? static_cast<std::uint32_t>(name.size()) : size;
    std::memcpy(buffer, name.data(), length);
    if (length < size) {
        buffer[length] = '\0';
    }
    return length;
}

// The hints' services: a fixed node folder, and a log path named after the
// process's label in the call log.
std::uint32_t GetRtNodeFolder(char* buffer, std::uint32_t size) {
    const std::string folder = "/node";
    if (folder.size() + 1 > size) {
        return 0;
    }
    std::memcpy(buffer, folder.c_str(), folder.size() + 1);
    return static_cast<std::uint32_t>(folder.size());
}

std::uint32_t GetRtProcessLogFile(RTHANDLE process, const char* program, char* buffer,
                                  std::uint32_t size) {
    if (fake::Get(process) == nullptr) {
        return 0;
    }
    const std::string path =
        "/node/log/" + std::string(program) + "." + fake::Label(process) + ".log";
    if (path.size() + 1 > size) {
        return 0;
    }
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<std::uint32_t>(path.size());
}
