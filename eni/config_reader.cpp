#include "eni/config_reader.h"

#include <cstdarg>
#include <cstdio>
#include <limits>
#include <optional>
#include <unordered_map>

#include "eni/number_text.h"

namespace parvane::eni {
namespace {

// The texts handed out on this thread while a SharedTextScope lives; past
// this many distinct ones, texts are no longer shared (a file whose every
// comment differs gains nothing from a table of them).
constexpr std::size_t kMaxSharedTexts = 4096;

struct TextTable {
    int scopes = 0;
    std::unordered_map<std::string_view, SharedText> texts;
};

thread_local TextTable tTexts;

SharedText Shared(std::string_view text) {
    if (tTexts.scopes == 0 || text.empty())
        return SharedText(text);
    if (auto found = tTexts.texts.find(text); found != tTexts.texts.end())
        return found->second;
    SharedText shared(text);
    if (tTexts.texts.size() < kMaxSharedTexts)
        tTexts.texts.emplace(std::string_view(shared.str()), shared);
    return shared;
}

// Where an element lies: a chain of steps up to Config, built on the stack
// as the reader descends and turned into text only when something is refused.
struct Where {
    const Where* parent;
    std::string_view name;
    std::ptrdiff_t index;  // -1: the element is not numbered among its siblings
};

void AppendPath(const Where& where, std::string& path) {
    if (where.parent) {
        AppendPath(*where.parent, path);
        path += '/';
    }
    path += where.name;
    if (where.index >= 0) {
        char number[24];
        std::snprintf(number, sizeof number, "[%td]", where.index);
        path += number;
    }
}

std::unexpected<Refusal> Refuse(const Where& where, const pugi::xml_node& node, const char* format,
                                ...) __attribute__((format(printf, 3, 4)));
std::unexpected<Refusal> Refuse(const Where& where, const pugi::xml_node& node, const char* format,
                                ...) {
    Refusal refusal;
    AppendPath(where, refusal.element);
    char reason[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason, sizeof reason, format, args);
    va_end(args);
    refusal.reason = reason;
    refusal.offset = node.offset_debug();
    return std::unexpected(std::move(refusal));
}

Where Child(const Where& parent, const pugi::xml_node& node) {
    return Where{&parent, LocalName(node), -1};
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string_view TextOf(const pugi::xml_node& node) {
    return node.text().get();
}

// Calls visit(child) for each element child, in document order, stopping at
// the first refusal.
template <typename Visit>
ReadResult ForEachElement(const pugi::xml_node& parent, Visit&& visit) {
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element)
            continue;
        if (ReadResult read = visit(child, LocalName(child)); !read)
            return read;
    }
    return {};
}

std::size_t CountElements(const pugi::xml_node& parent, std::string_view name) {
    std::size_t count = 0;
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling())
        count += child.type() == pugi::node_element && LocalName(child) == name;
    return count;
}

template <typename T>
ReadResult Number(const Where& parent, const pugi::xml_node& node, T& out) {
    // A 32-bit field may be written signed; a narrower one may not.
    auto value = sizeof(T) == 4 ? ParseEniNumber32(TextOf(node)) : ParseEniNumber(TextOf(node));
    if (!value || *value > std::numeric_limits<T>::max()) {
        if (sizeof(T) == 4) {
            return Refuse(Child(parent, node), node, "\"%.40s\" is not a 32-bit number",
                          node.text().get());
        }
        return Refuse(Child(parent, node), node, "\"%.40s\" is not a number from 0 to %llu",
                      node.text().get(),
                      static_cast<unsigned long long>(std::numeric_limits<T>::max()));
    }
    out = static_cast<T>(*value);
    return {};
}

template <typename T>
ReadResult Number(const Where& parent, const pugi::xml_node& node, std::optional<T>& out) {
    T value{};
    ReadResult read = Number(parent, node, value);
    if (read)
        out = value;
    return read;
}

// A 16-bit position or address; a minus sign counts back from 0x10000, as
// auto-increment addresses are sometimes written (-1 for the second slave).
ReadResult Address16(const Where& parent, const pugi::xml_node& node, std::uint16_t& out) {
    std::string_view text = Trimmed(TextOf(node));
    const bool negative = !text.empty() && text.front() == '-';
    auto value = ParseEniNumber(negative ? text.substr(1) : text);
    if (!value || *value > 0xFFFF || (negative && *value > 0x8000)) {
        return Refuse(Child(parent, node), node, "\"%.40s\" is not a 16-bit address",
                      node.text().get());
    }
    out = static_cast<std::uint16_t>(negative ? 0x10000u - *value : *value);
    return {};
}

ReadResult Boolean(const Where& parent, const pugi::xml_node& node, bool& out) {
    std::string_view text = Trimmed(TextOf(node));
    if (text == "true" || text == "1") {
        out = true;
    } else if (text == "false" || text == "0") {
        out = false;
    } else {
        return Refuse(Child(parent, node), node, "\"%.40s\" is not true, false, 1 or 0",
                      node.text().get());
    }
    return {};
}

ReadResult BooleanAttribute(const Where& where, const pugi::xml_node& node, const char* name,
                            bool& out) {
    pugi::xml_attribute attribute = node.attribute(name);
    if (!attribute)
        return {};
    std::string_view text = Trimmed(attribute.value());
    if (text == "true" || text == "1") {
        out = true;
    } else if (text == "false" || text == "0") {
        out = false;
    } else {
        return Refuse(where, node, "attribute %s=\"%.40s\" is not true, false, 1 or 0", name,
                      attribute.value());
    }
    return {};
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// hexBinary: pairs of hex digits, the bytes in the order written (wire
// order). White space between digits and a leading "0x" are tolerated.
ReadResult HexBytes(const Where& parent, const pugi::xml_node& node,
                    std::vector<std::uint8_t>& out) {
    std::string_view text = Trimmed(TextOf(node));
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    out.clear();
    out.reserve(text.size() / 2);
    int high = -1;
    for (char c : text) {
        if (IsSpace(c))
            continue;
        int digit = HexDigit(c);
        if (digit < 0) {
            return Refuse(Child(parent, node), node, "'%c' is not a hex digit",
                          c >= 0x20 && c < 0x7F ? c : '?');
        }
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0)
        return Refuse(Child(parent, node), node, "odd number of hex digits");
    if (out.size() > ecat::kMaxDatagramData) {
        return Refuse(Child(parent, node), node, "%zu bytes do not fit in a datagram (at most %zu)",
                      out.size(), ecat::kMaxDatagramData);
    }
    return {};
}

// Twelve hex digits, optionally in pairs separated by ':' or '-'.
ReadResult MacText(const Where& parent, const pugi::xml_node& node, ecat::MacAddress& out) {
    std::string_view text = Trimmed(TextOf(node));
    ecat::MacAddress mac{};
    std::size_t digits = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((c == ':' || c == '-') && digits % 2 == 0 && digits > 0 && digits < 12)
            continue;
        int digit = HexDigit(c);
        if (digit < 0 || digits == 12)
            break;
        mac[digits / 2] = static_cast<std::uint8_t>(mac[digits / 2] << 4 | digit);
        ++digits;
        if (i + 1 == text.size() && digits == 12) {
            out = mac;
            return {};
        }
    }
    return Refuse(Child(parent, node), node, "\"%.40s\" is not a MAC address of 12 hex digits",
                  node.text().get());
}

// What a command's children said about its datagram so far.
struct DatagramParts {
    bool hasCmd = false;
    bool hasData = false;
    bool hasLength = false;
    pugi::xml_node dataLength;
};

// Cmd, Adp, Ado, Addr, Data, DataLength and Cnt, which InitCmds and cyclic
// Cmds share. Returns false for an element that is none of these.
std::expected<bool, Refusal> DatagramElement(const Where& where, const pugi::xml_node& node,
                                             std::string_view name, Datagram& datagram,
                                             DatagramParts& parts) {
    if (name == "Cmd") {
        std::uint8_t command = 0;
        if (ReadResult read = Number(where, node, command); !read)
            return std::unexpected(std::move(read.error()));
        if (command > ecat::kLastCommand) {
            return Refuse(Child(where, node), node, "%u is not a datagram command (0 to %u)",
                          command, ecat::kLastCommand);
        }
        datagram.command = static_cast<ecat::Command>(command);
        parts.hasCmd = true;
    } else if (name == "Adp") {
        if (ReadResult read = Address16(where, node, datagram.adp); !read)
            return std::unexpected(std::move(read.error()));
    } else if (name == "Ado") {
        if (ReadResult read = Number(where, node, datagram.ado); !read)
            return std::unexpected(std::move(read.error()));
    } else if (name == "Addr") {
        if (ReadResult read = Number(where, node, datagram.logicalAddress); !read)
            return std::unexpected(std::move(read.error()));
        datagram.logical = true;
    } else if (name == "Data") {
        if (ReadResult read = HexBytes(where, node, datagram.data); !read)
            return std::unexpected(std::move(read.error()));
        parts.hasData = true;
    } else if (name == "DataLength") {
        parts.dataLength = node;
        parts.hasLength = true;
    } else if (name == "Cnt") {
        if (ReadResult read = Number(where, node, datagram.expectedWkc); !read)
            return std::unexpected(std::move(read.error()));
    } else {
        return false;
    }
    return true;
}

// After all children: Data, or DataLength zero bytes, which must agree when
// both are given.
ReadResult FinishDatagram(const Where& where, Datagram& datagram, const DatagramParts& parts) {
    if (parts.hasLength) {
        std::uint32_t length = 0;
        if (ReadResult read = Number(where, parts.dataLength, length); !read)
            return read;
        if (length > ecat::kMaxDatagramData) {
            return Refuse(Child(where, parts.dataLength), parts.dataLength,
                          "%u bytes do not fit in a datagram (at most %zu)", length,
                          ecat::kMaxDatagramData);
        }
        if (parts.hasData && datagram.data.size() != length) {
            return Refuse(Child(where, parts.dataLength), parts.dataLength,
                          "%u does not match the %zu bytes of Data", length, datagram.data.size());
        }
        if (!parts.hasData)
            datagram.data.assign(length, 0);
    }
    return {};
}

ReadResult Transitions(const Where& where, const pugi::xml_node& node, TransitionSet& set) {
    auto transition = TransitionFromText(TextOf(node));
    if (!transition) {
        return Refuse(Child(where, node), node,
                      "\"%.40s\" is not a transition (IP, PS, SO, OS, SP, OP, OI, SI, PI, II, PP, "
                      "SS, OO, IB, BI)",
                      node.text().get());
    }
    set.Add(*transition);
    return {};
}

ReadResult ReadValidate(const Where& where, const pugi::xml_node& node, Validate& out) {
    return ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        if (name == "Data")
            return HexBytes(where, child, out.data);
        if (name == "DataMask")
            return HexBytes(where, child, out.mask);
        if (name == "Timeout")
            return Number(where, child, out.timeoutMs);
        return ReadResult{};
    });
}

// One register init command; `disabled` is set for Disabled=true, which the
// caller drops.
ReadResult ReadInitCmd(const Where& where, const pugi::xml_node& node, InitCmd& out,
                       bool& disabled) {
    DatagramParts parts;
    pugi::xml_node validateNode;
    ReadResult read = ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        auto known = DatagramElement(where, child, name, out.datagram, parts);
        if (!known)
            return ReadResult(std::unexpected(std::move(known.error())));
        if (*known)
            return ReadResult{};
        if (name == "Transition")
            return Transitions(where, child, out.transitions);
        if (name == "BeforeSlave")
            return Boolean(where, child, out.beforeSlave);
        if (name == "Requires") {
            std::string_view text = Trimmed(TextOf(child));
            if (text != "frame" && text != "cycle" && !text.empty()) {
                return ReadResult(Refuse(Child(where, child), child,
                                         "\"%.40s\" is not frame or cycle", child.text().get()));
            }
            out.requirement = Shared(text);
            return ReadResult{};
        }
        if (name == "Comment") {
            out.comment = Shared(TextOf(child));
            return ReadResult{};
        }
        if (name == "Retries")
            return Number(where, child, out.retries);
        if (name == "Timeout")
            return Number(where, child, out.timeoutMs);
        if (name == "Disabled")
            return Boolean(where, child, disabled);
        if (name == "Validate") {
            validateNode = child;
            out.validate.emplace();
            return ReadValidate(Child(where, child), child, *out.validate);
        }
        return ReadResult{};
    });
    if (!read)
        return read;
    if (!parts.hasCmd)
        return Refuse(where, node, "no <Cmd>");
    if (out.transitions.empty())
        return Refuse(where, node, "no <Transition>");
    if (read = FinishDatagram(where, out.datagram, parts); !read)
        return read;
    if (out.validate) {
        const Where at = Child(where, validateNode);
        if (out.validate->data.size() > out.datagram.data.size()) {
            return Refuse(at, validateNode, "%zu bytes of Data, more than the command's %zu",
                          out.validate->data.size(), out.datagram.data.size());
        }
        if (!out.validate->mask.empty() && out.validate->mask.size() != out.validate->data.size()) {
            return Refuse(at, validateNode, "DataMask has %zu bytes, Data %zu",
                          out.validate->mask.size(), out.validate->data.size());
        }
    }
    return {};
}

// The InitCmd children of an InitCmds element, each read by `readOne`; a
// Disabled one is dropped.
template <typename Cmd>
ReadResult ReadCommandList(const Where& where, const pugi::xml_node& node, std::vector<Cmd>& out,
                           ReadResult (*readOne)(const Where&, const pugi::xml_node&, Cmd&,
                                                 bool&)) {
    out.reserve(out.size() + CountElements(node, "InitCmd"));
    std::ptrdiff_t index = 0;
    return ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        if (name != "InitCmd")
            return ReadResult{};
        const Where at{&where, name, index++};
        Cmd cmd;
        bool disabled = false;
        if (ReadResult read = readOne(at, child, cmd, disabled); !read)
            return read;
        if (!disabled)
            out.push_back(std::move(cmd));
        return ReadResult{};
    });
}

ReadResult ReadInitCmds(const Where& where, const pugi::xml_node& node, std::vector<InitCmd>& out) {
    return ReadCommandList(where, node, out, ReadInitCmd);
}

// The elements every mailbox init command has (Transition, Comment,
// Disabled, and Timeout and Data where the command keeps them); nothing when
// `name` is none of them.
template <typename Cmd>
std::optional<ReadResult> MailboxCmdElement(const Where& where, const pugi::xml_node& child,
                                            std::string_view name, Cmd& out, bool& disabled) {
    if (name == "Transition")
        return Transitions(where, child, out.transitions);
    if (name == "Comment") {
        out.comment = Shared(TextOf(child));
        return ReadResult{};
    }
    if (name == "Disabled")
        return Boolean(where, child, disabled);
    if constexpr (requires { out.timeoutMs; }) {
        if (name == "Timeout")
            return Number(where, child, out.timeoutMs);
    }
    if constexpr (requires { out.data; }) {
        if (name == "Data")
            return HexBytes(where, child, out.data);
    }
    return std::nullopt;
}

ReadResult ReadCoeInitCmd(const Where& where, const pugi::xml_node& node, CoeInitCmd& out,
                          bool& disabled) {
    if (ReadResult read = BooleanAttribute(where, node, "CompleteAccess", out.completeAccess);
        !read)
        return read;
    bool hasIndex = false;
    ReadResult read = ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        if (auto common = MailboxCmdElement(where, child, name, out, disabled))
            return *common;
        if (name == "Ccs") {
            if (ReadResult r = Number(where, child, out.ccs); !r)
                return r;
            if (out.ccs != 1 && out.ccs != 2) {
                return ReadResult(Refuse(Child(where, child), child,
                                         "%u is neither 1 (download) nor 2 (upload)", out.ccs));
            }
            return ReadResult{};
        }
        if (name == "Index") {
            hasIndex = true;
            return Number(where, child, out.index);
        }
        if (name == "SubIndex")
            return Number(where, child, out.subIndex);
        return ReadResult{};
    });
    if (!read)
        return read;
    if (!hasIndex)
        return Refuse(where, node, "no <Index>");
    if (out.transitions.empty())
        return Refuse(where, node, "no <Transition>");
    return {};
}

ReadResult ReadSoeInitCmd(const Where& where, const pugi::xml_node& node, SoeInitCmd& out,
                          bool& disabled) {
    bool hasIdn = false;
    ReadResult read = ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        if (auto common = MailboxCmdElement(where, child, name, out, disabled))
            return *common;
        if (name == "OpCode")
            return Number(where, child, out.opCode);
        if (name == "DriveNo") {
            if (ReadResult r = Number(where, child, out.driveNo); !r)
                return r;
            // Three bits of the SoE header carry it.
            if (out.driveNo > 7)
                return ReadResult(Refuse(Child(where, child), child,
                                         "%u is not a drive from 0 to 7", out.driveNo));
            return ReadResult{};
        }
        if (name == "IDN") {
            hasIdn = true;
            return Number(where, child, out.idn);
        }
        if (name == "Elements")
            return Number(where, child, out.elements);
        return ReadResult{};
    });
    if (!read)
        return read;
    if (!hasIdn)
        return Refuse(where, node, "no <IDN>");
    if (out.transitions.empty())
        return Refuse(where, node, "no <Transition>");
    return {};
}

ReadResult ReadEoeInitCmd(const Where& where, const pugi::xml_node& node, EoeInitCmd& out,
                          bool& disabled) {
    ReadResult read = ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        if (auto common = MailboxCmdElement(where, child, name, out, disabled))
            return *common;
        return ReadResult{};
    });
    if (!read)
        return read;
    if (out.transitions.empty())
        return Refuse(where, node, "no <Transition>");
    return {};
}

// An FoE or AoE command: only what the master needs to say that it passed
// it over (its data is not looked at).
ReadResult ReadSkippedInitCmd(const Where& where, const pugi::xml_node& node, SkippedInitCmd& out,
                              bool& disabled) {
    return ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        if (auto common = MailboxCmdElement(where, child, name, out, disabled))
            return *common;
        return ReadResult{};
    });
}

// The InitCmds of a mailbox protocol's element (Mailbox/CoE, Mailbox/SoE, ...).
template <typename Cmd>
ReadResult ReadProtocolCmds(const Where& where, const pugi::xml_node& protocol,
                            std::vector<Cmd>& out,
                            ReadResult (*readOne)(const Where&, const pugi::xml_node&, Cmd&,
                                                  bool&)) {
    return ForEachElement(protocol, [&](const pugi::xml_node& initCmds, std::string_view name) {
        if (name != "InitCmds")
            return ReadResult{};
        return ReadCommandList(Child(where, initCmds), initCmds, out, readOne);
    });
}

// Mailbox/Send, Mailbox/Recv (or Receive): Start and Length, and for Recv
// PollTime and StatusBitAddr.
ReadResult ReadMailboxSm(const Where& where, const pugi::xml_node& node, std::uint16_t& start,
                         std::uint16_t& length, Mailbox* recv) {
    return ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        if (name == "Start")
            return Number(where, child, start);
        if (name == "Length")
            return Number(where, child, length);
        if (recv && name == "PollTime")
            return Number(where, child, recv->pollTimeMs);
        if (recv && name == "StatusBitAddr")
            return Number(where, child, recv->statusBitAddr);
        return ReadResult{};
    });
}

std::uint16_t ProtocolBit(std::string_view name) {
    if (name == "AoE")
        return 0x01;
    if (name == "EoE")
        return 0x02;
    if (name == "CoE")
        return 0x04;
    if (name == "FoE")
        return 0x08;
    if (name == "SoE")
        return 0x10;
    if (name == "VoE")
        return 0x20;
    return 0;
}

ReadResult ReadMailbox(const Where& where, const pugi::xml_node& node, Mailbox& out) {
    return ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        const Where at = Child(where, child);
        if (name == "Send")
            return ReadMailboxSm(at, child, out.sendStart, out.sendLength, nullptr);
        if (name == "Recv" || name == "Receive")
            return ReadMailboxSm(at, child, out.recvStart, out.recvLength, &out);
        if (name == "Protocol") {
            // Protocols this model has no bit for are passed over.
            out.protocols |= ProtocolBit(Trimmed(TextOf(child)));
            return ReadResult{};
        }
        if (name == "CoE" || name == "SoE" || name == "EoE" || name == "FoE" || name == "AoE")
            out.protocols |= ProtocolBit(name);
        if (name == "CoE")
            return ReadProtocolCmds(at, child, out.coeInitCmds, ReadCoeInitCmd);
        if (name == "SoE")
            return ReadProtocolCmds(at, child, out.soeInitCmds, ReadSoeInitCmd);
        if (name == "EoE")
            return ReadProtocolCmds(at, child, out.eoeInitCmds, ReadEoeInitCmd);
        if (name == "FoE" || name == "AoE") {
            const std::size_t first = out.skippedInitCmds.size();
            ReadResult read = ReadProtocolCmds(at, child, out.skippedInitCmds, ReadSkippedInitCmd);
            const SharedText protocol = Shared(name);
            for (std::size_t i = first; i < out.skippedInitCmds.size(); ++i)
                out.skippedInitCmds[i].protocol = protocol;
            return read;
        }
        return ReadResult{};
    });
}

ReadResult ReadBitRange(const Where& where, const pugi::xml_node& node, BitRange& out) {
    return ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        if (name == "BitStart")
            return Number(where, child, out.bitStart);
        if (name == "BitLength")
            return Number(where, child, out.bitLength);
        return ReadResult{};
    });
}

ReadResult SmTypeText(const Where& where, const pugi::xml_node& node, SmType& out) {
    std::string_view text = Trimmed(TextOf(node));
    if (text == "Outputs")
        out = SmType::kOutputs;
    else if (text == "Inputs")
        out = SmType::kInputs;
    else if (text == "MailboxOut")
        out = SmType::kMailboxOut;
    else if (text == "MailboxIn")
        out = SmType::kMailboxIn;
    else if (text == "Unused" || text.empty())
        out = SmType::kUnused;
    else
        return Refuse(Child(where, node), node,
                      "\"%.40s\" is not Outputs, Inputs, MailboxOut, MailboxIn or Unused",
                      node.text().get());
    return {};
}

ReadResult ReadSm(const Where& where, const pugi::xml_node& node, SyncManager& out,
                  bool& hasDefaultSize) {
    return ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        if (name == "Type")
            return SmTypeText(where, child, out.type);
        if (name == "StartAddress")
            return Number(where, child, out.startAddress);
        if (name == "ControlByte")
            return Number(where, child, out.controlByte);
        if (name == "Enable")
            return Boolean(where, child, out.enable);
        if (name == "DefaultSize") {
            hasDefaultSize = true;
            return Number(where, child, out.defaultSize);
        }
        if (name == "Pdo") {
            std::uint16_t pdo = 0;
            if (ReadResult read = Number(where, child, pdo); !read)
                return read;
            out.pdos.push_back(pdo);
        }
        return ReadResult{};
    });
}

ReadResult ReadPdo(const Where& where, const pugi::xml_node& node, Pdo& out) {
    if (ReadResult read = BooleanAttribute(where, node, "Fixed", out.fixed); !read)
        return read;
    if (pugi::xml_attribute sm = node.attribute("Sm")) {
        auto value = ParseEniNumber(sm.value());
        if (!value || *value > 0xFF)
            return Refuse(where, node, "attribute Sm=\"%.40s\" is not a sync manager", sm.value());
        out.sm = static_cast<std::uint8_t>(*value);
    }
    std::ptrdiff_t entryIndex = 0;
    return ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        if (name == "Index")
            return Number(where, child, out.index);
        if (name == "Name") {
            out.name = Shared(TextOf(child));
            return ReadResult{};
        }
        if (name != "Entry")
            return ReadResult{};
        const Where at{&where, name, entryIndex++};
        if (out.entries.empty())
            out.entries.reserve(CountElements(node, "Entry"));
        PdoEntry& entry = out.entries.emplace_back();
        return ForEachElement(child, [&](const pugi::xml_node& field, std::string_view n) {
            if (n == "Index")
                return Number(at, field, entry.index);
            if (n == "SubIndex")
                return Number(at, field, entry.subIndex);
            if (n == "BitLen")
                return Number(at, field, entry.bitLength);
            if (n == "Name")
                entry.name = Shared(TextOf(field));
            else if (n == "DataType")
                entry.dataType = Shared(TextOf(field));
            return ReadResult{};
        });
    });
}

const Pdo* FindPdo(const std::vector<Pdo>& pdos, std::uint16_t index) {
    for (const Pdo& pdo : pdos) {
        if (pdo.index == index)
            return &pdo;
    }
    return nullptr;
}

// A sync manager without DefaultSize is as large as the PDOs assigned to it.
void SizeFromPdos(ProcessData& data, SyncManager& sm) {
    std::uint32_t bits = 0;
    for (std::uint16_t index : sm.pdos) {
        const Pdo* pdo = nullptr;
        if (sm.type != SmType::kInputs)
            pdo = FindPdo(data.rxPdos, index);
        if (!pdo && sm.type != SmType::kOutputs)
            pdo = FindPdo(data.txPdos, index);
        if (pdo)
            bits += pdo->bitLength();
    }
    sm.defaultSize = static_cast<std::uint16_t>(std::min<std::uint32_t>((bits + 7) / 8, 0xFFFF));
}

ReadResult ReadProcessData(const Where& where, const pugi::xml_node& node, ProcessData& out) {
    bool sized[4] = {false, false, false, false};
    std::ptrdiff_t rx = 0, tx = 0;
    ReadResult read = ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        if (name == "Send")
            return ReadBitRange(Child(where, child), child, out.send.emplace());
        if (name == "Recv")
            return ReadBitRange(Child(where, child), child, out.recv.emplace());
        if (name.size() == 3 && name.substr(0, 2) == "Sm" && name[2] >= '0' && name[2] <= '3') {
            SyncManager& sm = out.sms.emplace_back();
            sm.number = static_cast<std::uint8_t>(name[2] - '0');
            return ReadSm(Child(where, child), child, sm, sized[sm.number]);
        }
        if (name == "RxPdo")
            return ReadPdo(Where{&where, name, rx++}, child, out.rxPdos.emplace_back());
        if (name == "TxPdo")
            return ReadPdo(Where{&where, name, tx++}, child, out.txPdos.emplace_back());
        return ReadResult{};
    });
    if (!read)
        return read;
    for (SyncManager& sm : out.sms) {
        if (!sized[sm.number])
            SizeFromPdos(out, sm);
    }
    return {};
}

// `addressed`: the Info gives PhysAddr or AutoIncAddr.
ReadResult ReadSlaveInfo(const Where& where, const pugi::xml_node& info, Slave& out,
                         bool& addressed) {
    return ForEachElement(info, [&](const pugi::xml_node& child, std::string_view name) {
        if (name == "Name") {
            out.name = TextOf(child);
            return ReadResult{};
        }
        if (name == "PhysAddr") {
            addressed = true;
            return Address16(where, child, out.physAddr);
        }
        if (name == "AutoIncAddr") {
            addressed = true;
            return Address16(where, child, out.autoIncAddr);
        }
        if (name == "SerialNo")
            return Number(where, child, out.serialNo);
        return ReadResult{};
    });
}

// One PreviousPort: Port (a letter A to D) and the PhysAddr of the slave
// before; `selected` from its Selected attribute.
ReadResult ReadPreviousPort(const Where& where, const pugi::xml_node& node, PreviousPort& out,
                            bool& selected) {
    if (ReadResult read = BooleanAttribute(where, node, "Selected", selected); !read)
        return read;
    return ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        if (name == "PhysAddr")
            return Address16(where, child, out.physAddr);
        if (name != "Port")
            return ReadResult{};
        std::string_view text = Trimmed(TextOf(child));
        const char letter = text.size() == 1 ? static_cast<char>(text[0] & ~0x20) : '?';
        if (letter < 'A' || letter > 'D') {
            return ReadResult(Refuse(Child(where, child), child,
                                     "\"%.40s\" is not a port A, B, C or D", child.text().get()));
        }
        out.port = letter;
        return ReadResult{};
    });
}

// HotConnect heads a group of GroupMemberCnt slaves (itself alone when not given).
ReadResult ReadHotConnect(const Where& where, const pugi::xml_node& node, std::uint16_t& size) {
    size = 1;
    return ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        if (name == "GroupMemberCnt")
            return Number(where, child, size);
        return ReadResult{};
    });
}

// A slave's DC element. ShiftTime may be negative.
ReadResult ReadDc(const Where& where, const pugi::xml_node& node, DcConfig& out) {
    return ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        if (name == "PotentialReferenceClock")
            return Boolean(where, child, out.potentialReferenceClock);
        if (name == "ReferenceClock")
            return Boolean(where, child, out.referenceClock);
        if (name == "CycleTime0")
            return Number(where, child, out.cycleTime0);
        if (name == "CycleTime1")
            return Number(where, child, out.cycleTime1);
        if (name != "ShiftTime")
            return ReadResult{};
        std::uint32_t shift = 0;
        ReadResult read = Number(where, child, shift);
        out.shiftTime = static_cast<std::int32_t>(shift);
        return read;
    });
}

// The master states a cyclic command runs in.
ReadResult CyclicState(const Where& where, const pugi::xml_node& node, std::uint32_t& states) {
    std::string_view text = Trimmed(TextOf(node));
    std::optional<ecat::AlState> state;
    if (text == "INIT")
        state = ecat::AlState::kInit;
    else if (text == "PREOP")
        state = ecat::AlState::kPreOp;
    else if (text == "SAFEOP")
        state = ecat::AlState::kSafeOp;
    else if (text == "OP")
        state = ecat::AlState::kOp;
    if (!state) {
        return Refuse(Child(where, node), node, "\"%.40s\" is not INIT, PREOP, SAFEOP or OP",
                      node.text().get());
    }
    states |= ecat::ToWire(*state);
    return {};
}

ReadResult ReadCyclicCmd(const Where& where, const pugi::xml_node& node, CyclicCmd& out) {
    DatagramParts parts;
    ReadResult read = ForEachElement(node, [&](const pugi::xml_node& child, std::string_view name) {
        auto known = DatagramElement(where, child, name, out.datagram, parts);
        if (!known)
            return ReadResult(std::unexpected(std::move(known.error())));
        if (*known)
            return ReadResult{};
        if (name == "State")
            return CyclicState(where, child, out.states);
        if (name == "Comment") {
            out.comment = TextOf(child);
            return ReadResult{};
        }
        if (name == "InputOffs")
            return Number(where, child, out.inputOffs);
        if (name == "OutputOffs")
            return Number(where, child, out.outputOffs);
        return ReadResult{};
    });
    if (!read)
        return read;
    // A Cmd without a command number sends nothing: it stays a NOP.
    return FinishDatagram(where, out.datagram, parts);
}

}  // namespace

SharedTextScope::SharedTextScope() {
    ++tTexts.scopes;
}

SharedTextScope::~SharedTextScope() {
    if (--tTexts.scopes == 0)
        tTexts.texts.clear();
}

std::string_view LocalName(const pugi::xml_node& node) {
    // One pass over the name: every element of the file comes through here.
    const char* name = node.name();
    const char* local = name;
    const char* end = name;
    for (; *end; ++end) {
        if (*end == ':')
            local = end + 1;
    }
    return std::string_view(local, static_cast<std::size_t>(end - local));
}

ReadResult ReadMasterConfig(const pugi::xml_node& master, NetworkConfig& config) {
    const Where config_{nullptr, "Config", -1};
    const Where where{&config_, "Master", -1};
    return ForEachElement(master, [&](const pugi::xml_node& child, std::string_view name) {
        const Where at = Child(where, child);
        if (name == "Info") {
            return ForEachElement(child, [&](const pugi::xml_node& field, std::string_view n) {
                if (n == "Name") {
                    config.master.name = TextOf(field);
                } else if (n == "Destination") {
                    return MacText(at, field, config.master.destination);
                } else if (n == "Source") {
                    return MacText(at, field, config.master.source);
                } else if (n == "EtherType") {
                    // Either byte order: some configurators write "a488".
                    std::string_view text = Trimmed(TextOf(field));
                    if (text != "88a4" && text != "88A4" && text != "a488" && text != "A488") {
                        return ReadResult(Refuse(Child(at, field), field,
                                                 "\"%.40s\" is not the EtherCAT type 88a4",
                                                 field.text().get()));
                    }
                }
                return ReadResult{};
            });
        }
        if (name == "MailboxStates") {
            MailboxStates& states = config.mailboxStates.emplace();
            return ForEachElement(child, [&](const pugi::xml_node& field, std::string_view n) {
                if (n == "StartAddr")
                    return Number(at, field, states.startAddr);
                if (n == "Count")
                    return Number(at, field, states.count);
                return ReadResult{};
            });
        }
        if (name == "InitCmds")
            return ReadInitCmds(at, child, config.masterInitCmds);
        return ReadResult{};
    });
}

ReadResult ReadSlaveConfig(const pugi::xml_node& slave, std::size_t position, Slave& out) {
    const Where config{nullptr, "Config", -1};
    const Where where{&config, "Slave", static_cast<std::ptrdiff_t>(position)};
    bool addressed = false;
    bool previousSelected = false;
    ReadResult read =
        ForEachElement(slave, [&](const pugi::xml_node& child, std::string_view name) {
            const Where at = Child(where, child);
            if (name == "Info")
                return ReadSlaveInfo(at, child, out, addressed);
            if (name == "ProcessData")
                return ReadProcessData(at, child, out.processData.emplace());
            if (name == "Mailbox")
                return ReadMailbox(at, child, out.mailbox.emplace());
            if (name == "InitCmds")
                return ReadInitCmds(at, child, out.initCmds);
            if (name == "HotConnect")
                return ReadHotConnect(at, child, out.hotConnectGroupSize);
            if (name == "DC")
                return ReadDc(at, child, out.dc.emplace());
            if (name != "PreviousPort")
                return ReadResult{};
            // Of several, the selected one, else the first.
            PreviousPort port;
            bool selected = false;
            if (ReadResult r = ReadPreviousPort(at, child, port, selected); !r)
                return r;
            if (!out.previousPort || (selected && !previousSelected)) {
                out.previousPort = port;
                previousSelected = selected;
            }
            return ReadResult{};
        });
    if (!read)
        return read;
    // A slave listed with nothing to address, configure or exchange is a
    // passive terminal: it has no ESC.
    out.passive = !addressed && !out.processData && !out.mailbox && out.initCmds.empty();
    return {};
}

ReadResult ReadCyclicConfig(const pugi::xml_node& cyclic, std::size_t index, Cyclic& out) {
    const Where config{nullptr, "Config", -1};
    const Where where{&config, "Cyclic", static_cast<std::ptrdiff_t>(index)};
    out.frames.reserve(CountElements(cyclic, "Frame"));
    std::ptrdiff_t frameIndex = 0;
    return ForEachElement(cyclic, [&](const pugi::xml_node& child, std::string_view name) {
        if (name == "CycleTime")
            return Number(where, child, out.cycleTimeUs);
        if (name != "Frame")
            return ReadResult{};
        const Where frameAt{&where, name, frameIndex++};
        CyclicFrame& frame = out.frames.emplace_back();
        frame.cmds.reserve(CountElements(child, "Cmd"));
        std::ptrdiff_t cmdIndex = 0;
        return ForEachElement(child, [&](const pugi::xml_node& cmd, std::string_view n) {
            if (n != "Cmd")
                return ReadResult{};
            return ReadCyclicCmd(Where{&frameAt, n, cmdIndex++}, cmd, frame.cmds.emplace_back());
        });
    });
}

ReadResult ReadProcessImage(const pugi::xml_node& image, ProcessImage& out) {
    const Where config{nullptr, "Config", -1};
    const Where where{&config, "ProcessImage", -1};
    return ForEachElement(image, [&](const pugi::xml_node& child, std::string_view name) {
        std::uint32_t* bytes = name == "Inputs"    ? &out.inputBytes
                               : name == "Outputs" ? &out.outputBytes
                                                   : nullptr;
        if (!bytes)
            return ReadResult{};
        const Where at = Child(where, child);
        return ForEachElement(child, [&](const pugi::xml_node& field, std::string_view n) {
            if (n == "ByteSize")
                return Number(at, field, *bytes);
            return ReadResult{};
        });
    });
}

}  // namespace parvane::eni
