// An in-memory stand-in for the platform services, linked into the launcher's
// unit tests in place of the real layer: a scriptable object catalog, memory
// objects with exact bounds, a fake clock, and the processes started.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/rt_services.h"

namespace fake {

inline constexpr RTHANDLE kRoot = 1;

// What a process started by CreateRtProcess does once the launcher waits for it.
enum class StartBehaviour {
    kRefused,          // CreateRtProcess fails
    kNeverCatalogues,  // starts, but never catalogues "PRCS_LOMADYN"
    kNoEndOfInit,      // catalogues "PRCS_LOMADYN" only
    kInitialises,      // catalogues "PRCS_LOMADYN", then "ZU?END_INIT"
    kNameTaken,        // starts, but another live driver ("other") holds "PRCS_LOMADYN"
};

struct Script {
    std::uint32_t failureError = 0x0002;  // GetLastRtError after a failed call
    int failAllocation = 0;               // the n-th allocation fails (1-based); 0: none
    bool mapFails = false;
    StartBehaviour start = StartBehaviour::kInitialises;
    std::string moduleFilename = "/opt/tool/bin/parvane";  // empty: the service fails
};

// Empties the catalog (the root directory stays), the log and the script.
void Reset();
Script& script();

// A live process object called label in the log, catalogued in the root
// directory under rootName unless that is empty.
RTHANDLE AddProcess(const std::string& label, const std::string& rootName);
// A live memory object with exactly these bytes.
RTHANDLE AddMemory(const std::vector<unsigned char>& bytes);
void Catalog(RTHANDLE directory, const std::string& name, RTHANDLE object);
// The object no longer denotes a live object (its entries stay).
void MakeStale(RTHANDLE object);
bool IsLive(RTHANDLE object);
RTHANDLE Find(RTHANDLE directory, const std::string& name);
// The label the object was created with ("new" for a started process).
std::string Label(RTHANDLE object);

// A command-line record: L, a leading field of L bytes, one byte, the text
// and its NUL.
std::vector<unsigned char> Record(std::uint8_t leadLength, const std::string& commandLine);

// A CreateRtProcess call, refused or not.
struct Started {
    std::string path, commandLine;
    std::optional<std::uint64_t> msSinceStop;  // fake time since a process was terminated
    bool besideLiveDriver;                     // a live process held "PRCS_LOMADYN" then
};
const std::vector<Started>& StartedProcesses();
// Fake time: advanced by RtSleep and by a wait that runs out.
std::uint64_t NowMs();
// What GetLastRtError reports until the next failure: an error left over from
// an earlier, unrelated call.
void SetLastError(std::uint32_t code);
// Mappings not yet released.
int OpenMappings();

}  // namespace fake
