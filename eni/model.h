// What an ENI file configures, as the master runs it and the emulated slaves
// check it: the master's frame addresses and broadcast init commands, each
// slave's identity, addresses, sync managers, PDOs, mailbox and init commands
// (register and CoE), and the cyclic frames with the states they run in.
// Numbers are already converted; data is in wire order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ecat/al_state.h"
#include "ecat/frame.h"
#include "eni/slave_identity.h"

namespace parvane::eni {

// Text that a file repeats in many places (comments, requirements, PDO and
// entry names, data types): the reader hands out one copy per distinct text,
// shared by all elements that carry it, so a long line of slaves of a few
// kinds stores each of their texts a few times only.
class SharedText {
  public:
    SharedText() = default;
    SharedText(std::string_view text)  // NOLINT(google-explicit-constructor): reads like a string
        : text_(text.empty() ? nullptr : std::make_shared<const std::string>(text)) {}
    SharedText(const char* text) : SharedText(std::string_view(text)) {}  // NOLINT
    explicit SharedText(std::shared_ptr<const std::string> text) : text_(std::move(text)) {}

    const std::string& str() const { return text_ ? *text_ : Empty(); }
    operator const std::string&() const { return str(); }  // NOLINT
    const char* c_str() const { return str().c_str(); }
    std::size_t size() const { return str().size(); }
    bool empty() const { return str().empty(); }

    friend bool operator==(const SharedText& a, std::string_view b) { return a.str() == b; }
    friend bool operator==(const SharedText& a, const char* b) { return a.str() == b; }
    friend bool operator==(const SharedText& a, const std::string& b) { return a.str() == b; }
    friend bool operator==(const SharedText& a, const SharedText& b) { return a.str() == b.str(); }

  private:
    static const std::string& Empty();
    std::shared_ptr<const std::string> text_;
};

// An optional value kept on the heap: a pointer's size while it is empty,
// for parts that few commands have. Copies copy the value.
template <typename T>
class Boxed {
  public:
    Boxed() = default;
    Boxed(const T& value) : value_(std::make_unique<T>(value)) {}  // NOLINT: like std::optional
    Boxed(const Boxed& other) : value_(other ? std::make_unique<T>(*other) : nullptr) {}
    Boxed(Boxed&&) noexcept = default;
    Boxed& operator=(const Boxed& other) {
        value_ = other ? std::make_unique<T>(*other) : nullptr;
        return *this;
    }
    Boxed& operator=(Boxed&&) noexcept = default;
    Boxed& operator=(const T& value) {
        value_ = std::make_unique<T>(value);
        return *this;
    }

    T& emplace() {
        value_ = std::make_unique<T>();
        return *value_;
    }
    void reset() { value_.reset(); }
    bool has_value() const { return value_ != nullptr; }
    explicit operator bool() const { return has_value(); }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return value_.get(); }
    const T* operator->() const { return value_.get(); }

  private:
    std::unique_ptr<T> value_;
};

// The state changes an init command belongs to, as the file names them with
// two letters of I, P, S, O, B ("OP" is OP -> PREOP).
enum class Transition : std::uint8_t {
    kIP,
    kPS,
    kSO,
    kOS,
    kSP,
    kOP,
    kOI,
    kSI,
    kPI,
    kII,
    kPP,
    kSS,
    kOO,
    kIB,
    kBI,
};
inline constexpr std::size_t kTransitionCount = 15;

// The transition from one state to another, if the letters name one.
std::optional<Transition> TransitionBetween(ecat::AlState from, ecat::AlState to);
std::optional<Transition> TransitionFromText(std::string_view letters);  // "IP", "OP", ...
const char* TransitionText(Transition t);                                // "IP", ...

class TransitionSet {
  public:
    void Add(Transition t) { bits_ |= 1u << static_cast<unsigned>(t); }
    bool Has(Transition t) const { return (bits_ >> static_cast<unsigned>(t)) & 1u; }
    bool empty() const { return bits_ == 0; }

  private:
    std::uint32_t bits_ = 0;
};

// One datagram as the file gives it: command, address (ADP/ADO, or a logical
// address for LRD/LWR/LRW), the data (Data, or DataLength zero bytes) and the
// expected working counter (Cnt; nothing = not checked).
struct Datagram {
    ecat::Command command = ecat::Command::kNop;
    std::uint16_t adp = 0;
    std::uint16_t ado = 0;
    std::uint32_t logicalAddress = 0;  // Addr, for logical commands
    bool logical = false;              // Addr was given instead of Adp/Ado
    std::vector<std::uint8_t> data;
    std::optional<std::uint16_t> expectedWkc;

    std::uint32_t address() const { return logical ? logicalAddress : ecat::MakeAddress(adp, ado); }
};

struct Validate {
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> mask;  // empty: all bits count
    std::uint32_t timeoutMs = 0;
};

// A register init command (master or slave).
struct InitCmd {
    TransitionSet transitions;
    bool beforeSlave = false;  // master commands only
    SharedText requirement;    // Requires: "frame", "cycle" or empty ("requires" is a keyword)
    SharedText comment;
    Datagram datagram;
    std::uint32_t retries = 0;
    Boxed<Validate> validate;
    std::optional<std::uint32_t> timeoutMs;
};

// A CoE init command: an SDO download (Ccs 1) or upload (Ccs 2).
struct CoeInitCmd {
    TransitionSet transitions;
    SharedText comment;
    std::uint32_t timeoutMs = 0;  // 0: the master's default
    std::uint8_t ccs = 1;
    std::uint16_t index = 0;
    std::uint8_t subIndex = 0;
    bool completeAccess = false;
    std::vector<std::uint8_t> data;
};

// An SoE init command: a write (OpCode 3) of an IDN's elements to one drive.
struct SoeInitCmd {
    TransitionSet transitions;
    SharedText comment;
    std::uint32_t timeoutMs = 0;  // 0: the master's default
    std::uint8_t opCode = 3;
    std::uint8_t driveNo = 0;
    std::uint16_t idn = 0;
    std::uint8_t elements = 0x40;  // the value
    std::vector<std::uint8_t> data;
};

// An EoE init command: the EoE frame as the file gives it (a "set IP
// parameter" request, typically).
struct EoeInitCmd {
    TransitionSet transitions;
    SharedText comment;
    std::uint32_t timeoutMs = 0;  // 0: the master's default
    std::vector<std::uint8_t> data;
};

// A mailbox init command of a protocol the master does not run (FoE, AoE):
// kept so that the master can say it passed it over.
struct SkippedInitCmd {
    SharedText protocol;  // "FoE", "AoE"
    TransitionSet transitions;
    SharedText comment;
};

enum class SmType : std::uint8_t { kUnused, kMailboxOut, kMailboxIn, kOutputs, kInputs };

// A sync manager the file configures (ProcessData/SmN, or the mailbox's).
struct SyncManager {
    std::uint8_t number = 0;
    SmType type = SmType::kUnused;
    std::uint16_t startAddress = 0;
    std::uint8_t controlByte = 0;
    bool enable = false;
    std::uint16_t defaultSize = 0;    // DefaultSize when given, else the PDOs' size
    std::vector<std::uint16_t> pdos;  // assigned PDO indexes
};

struct PdoEntry {
    std::uint16_t index = 0;
    std::uint8_t subIndex = 0;
    std::uint8_t bitLength = 0;
    SharedText name;
    SharedText dataType;
};

struct Pdo {
    std::uint16_t index = 0;
    SharedText name;
    bool fixed = false;
    std::optional<std::uint8_t> sm;  // the Sm attribute
    std::vector<PdoEntry> entries;

    std::uint32_t bitLength() const;
};

// Where a slave's process data lies in the logical process image.
struct BitRange {
    std::uint32_t bitStart = 0;
    std::uint32_t bitLength = 0;
};

struct ProcessData {
    std::optional<BitRange> send;  // outputs (master -> slave)
    std::optional<BitRange> recv;  // inputs (slave -> master)
    std::vector<SyncManager> sms;
    std::vector<Pdo> rxPdos;  // outputs
    std::vector<Pdo> txPdos;  // inputs
};

struct Mailbox {
    std::uint16_t sendStart = 0;  // SM0, master -> slave
    std::uint16_t sendLength = 0;
    std::uint16_t recvStart = 0;  // SM1, slave -> master
    std::uint16_t recvLength = 0;
    std::optional<std::uint32_t> pollTimeMs;
    std::optional<std::uint32_t> statusBitAddr;  // logical bit address of the SM1 full flag
    std::uint16_t protocols = 0;                 // SII word 0x1C bits: CoE 0x04, ...
    std::vector<CoeInitCmd> coeInitCmds;
    std::vector<SoeInitCmd> soeInitCmds;
    std::vector<EoeInitCmd> eoeInitCmds;
    std::vector<SkippedInitCmd> skippedInitCmds;
};

// Where a slave hangs in the tree: the port (A to D) of the slave before it,
// named by that slave's station address.
struct PreviousPort {
    std::uint16_t physAddr = 0;
    char port = 'A';
};

// A slave's DC element: whether it is the line's reference clock, and the
// SYNC0/SYNC1 cycles (ns) and the shift of its SYNC0 against the cycle
// (ns, signed). A CycleTime0 of 0 asks for no SYNC pulses.
struct DcConfig {
    bool potentialReferenceClock = false;
    bool referenceClock = false;
    std::uint32_t cycleTime0 = 0;
    std::uint32_t cycleTime1 = 0;
    std::int32_t shiftTime = 0;
};

struct Slave {
    std::string name;
    std::uint16_t physAddr = 0;
    std::uint16_t autoIncAddr = 0;  // 0, 0xFFFF, ... = minus the position
    SlaveIdentity identity;
    std::uint32_t serialNo = 0;
    std::optional<ProcessData> processData;
    std::optional<Mailbox> mailbox;
    std::vector<InitCmd> initCmds;
    std::optional<PreviousPort> previousPort;
    std::optional<DcConfig> dc;
    // Heads a HotConnect group of this many slaves (itself included), which
    // may be absent from the wire; 0: not in such a group.
    std::uint16_t hotConnectGroupSize = 0;
    // Listed without PhysAddr and AutoIncAddr, init commands or process
    // data: a passive terminal (an end cap), which has no ESC and is never
    // on the wire.
    bool passive = false;
};

struct CyclicCmd {
    std::uint32_t states = 0;  // bits: ToWire(AlState) of the master states it runs in
    std::string comment;
    Datagram datagram;
    std::optional<std::uint32_t> inputOffs;
    std::optional<std::uint32_t> outputOffs;

    bool RunsIn(ecat::AlState s) const { return (states & ecat::ToWire(s)) != 0; }
};

struct CyclicFrame {
    std::vector<CyclicCmd> cmds;
};

struct Cyclic {
    std::uint32_t cycleTimeUs = 1000;
    std::vector<CyclicFrame> frames;
};

struct MasterInfo {
    std::string name;
    ecat::MacAddress destination = ecat::kBroadcastMac;
    ecat::MacAddress source{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
};

struct MailboxStates {
    std::uint32_t startAddr = 0;
    std::uint32_t count = 0;
};

struct ProcessImage {
    std::uint32_t inputBytes = 0;
    std::uint32_t outputBytes = 0;
};

struct NetworkConfig {
    MasterInfo master;
    std::optional<MailboxStates> mailboxStates;
    std::vector<InitCmd> masterInitCmds;
    std::vector<Slave> slaves;
    std::vector<Cyclic> cyclic;
    ProcessImage processImage;
};

// Takes the passive terminals (Slave::passive) out of the slaves: they are
// never on the wire, so the network the master expects leaves them out.
// Returns how many it took out.
std::size_t WithoutPassiveTerminals(NetworkConfig& config);

// Asks for transparent huge pages for a large array about to be filled (a
// long line's slaves take megabytes): on hosts where a page fault is dear,
// virtual machines above all, faulting them in 4 KiB at a time costs more
// than building them. Only the whole huge pages inside the range are
// advised; a host without them changes nothing.
void AdviseHugePages(const void* data, std::size_t bytes);

}  // namespace parvane::eni
