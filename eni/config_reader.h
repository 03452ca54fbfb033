// Reads the parts of a parsed ENI document that configure the network into
// the model: the master's Info, MailboxStates and InitCmds, one slave's
// addresses, process data, mailbox and init commands, the cyclic frames and
// the process image sizes. Used by the ENI reader while it walks the document
// once; the document's nodes are only borrowed.
//
// Lenient about what it does not use (unknown elements are passed over), but
// a command, its data or a number it does use that is malformed is refused
// with the element's path (siblings numbered from 0 in document order, as in
// "Config/Slave[3]/InitCmds/InitCmd[2]/Data") and its offset in the text.
#pragma once

#include <cstddef>
#include <expected>
#include <pugixml.hpp>
#include <string>
#include <string_view>

#include "eni/model.h"

namespace parvane::eni {

struct Refusal {
    std::string element;  // path of the offending element
    std::string reason;   // what is wrong with it
    std::ptrdiff_t offset = -1;
};

using ReadResult = std::expected<void, Refusal>;

// While one lives on a thread, the readers below hand out each distinct text
// they read on it (comments, names, ...) once, shared (SharedText); the
// table of texts is dropped with the last one.
class SharedTextScope {
  public:
    SharedTextScope();
    ~SharedTextScope();
    SharedTextScope(const SharedTextScope&) = delete;
    SharedTextScope& operator=(const SharedTextScope&) = delete;
};

// The element's name without a namespace prefix.
std::string_view LocalName(const pugi::xml_node& node);

ReadResult ReadMasterConfig(const pugi::xml_node& master, NetworkConfig& config);
// `slave` is Config/Slave[position]; identity is read by the caller.
ReadResult ReadSlaveConfig(const pugi::xml_node& slave, std::size_t position, Slave& out);
// `cyclic` is the index-th Cyclic element under Config.
ReadResult ReadCyclicConfig(const pugi::xml_node& cyclic, std::size_t index, Cyclic& out);
ReadResult ReadProcessImage(const pugi::xml_node& image, ProcessImage& out);

}  // namespace parvane::eni
