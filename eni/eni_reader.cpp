#include "eni/eni_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <pugixml.hpp>
#include <string>

#include "eni/config_reader.h"
#include "eni/file_bytes.h"
#include "eni/number_text.h"
#include "eni/xml_encoding.h"

namespace parvane::eni {
namespace {

constexpr std::size_t kMaxSlaves = 0xFFFF;  // counts are 16-bit on the wire
constexpr std::size_t kMaxNotes = 20;
constexpr std::size_t kMaxEniBytes = std::size_t{1} << 30;

pugi::xml_node FirstChild(const pugi::xml_node& parent, std::string_view localName) {
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element && LocalName(child) == localName)
            return child;
    }
    return {};
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

class Reader {
  public:
    explicit Reader(XmlInput& input) : buffer_(input.bytes), encoding_(input.encoding) {}

    std::expected<EniContents, Error> Read() {
        pugi::xml_document document;
        const unsigned options = pugi::parse_default | pugi::parse_embed_pcdata;
        pugi::xml_parse_result parsed =
            document.load_buffer_inplace(buffer_.data(), buffer_.size(), options, encoding_);
        if (!parsed) {
            std::size_t line = LineAt(parsed.offset);
            return Refuse(Format("XML parse error at offset %td (line %zu): %s", parsed.offset,
                                 line, parsed.description()),
                          line, "");
        }
        pugi::xml_node root = document.document_element();
        std::string_view rootName = LocalName(root);
        if (rootName != "EtherCATConfig" && rootName != "EncryptedEtherCATConfig") {
            return Refuse(
                Format("not an ENI file: the root element is <%.60s>, expected <EtherCATConfig>",
                       root.name()),
                LineAt(root.offset_debug()), std::string(rootName));
        }
        pugi::xml_node config = FirstChild(root, "Config");
        if (!config) {
            return Refuse(Format("no <Config> element under <%.60s>", root.name()),
                          LineAt(root.offset_debug()), std::string(rootName));
        }
        std::size_t slaveCount = 0;
        for (pugi::xml_node child = config.first_child(); child; child = child.next_sibling())
            slaveCount += child.type() == pugi::node_element && LocalName(child) == "Slave";
        slaveCount = std::min(slaveCount, kMaxSlaves);
        contents_.slaves.reserve(slaveCount);
        contents_.config.slaves.reserve(slaveCount);
        for (pugi::xml_node child = config.first_child(); child; child = child.next_sibling()) {
            if (child.type() != pugi::node_element)
                continue;
            std::string_view name = LocalName(child);
            if (name == "Slave") {
                if (contents_.slaves.size() == kMaxSlaves) {
                    return Refuse(Format("more than %zu slaves", kMaxSlaves),
                                  LineAt(child.offset_debug()), SlavePath(contents_.slaves.size()));
                }
                if (auto refused = ReadSlave(child); !refused.has_value())
                    return std::unexpected(std::move(refused.error()));
            } else if (name == "Master") {
                if (auto read = ReadMasterConfig(child, contents_.config); !read)
                    return Refuse(std::move(read.error()));
            } else if (name == "Cyclic") {
                Cyclic& cyclic = contents_.config.cyclic.emplace_back();
                const std::size_t index = contents_.config.cyclic.size() - 1;
                if (auto read = ReadCyclicConfig(child, index, cyclic); !read)
                    return Refuse(std::move(read.error()));
            } else if (name == "ProcessImage") {
                if (auto read = ReadProcessImage(child, contents_.config.processImage); !read)
                    return Refuse(std::move(read.error()));
            }
        }
        return std::move(contents_);
    }

  private:
    std::expected<void, Error> ReadSlave(const pugi::xml_node& slave) {
        SlaveIdentity identity;
        pugi::xml_node info = FirstChild(slave, "Info");
        auto read = Field(slave, info, "VendorId", identity.vendorId);
        if (read)
            read = Field(slave, info, "ProductCode", identity.productCode);
        if (read)
            read = Field(slave, info, "RevisionNo", identity.revisionNo);
        contents_.slaves.push_back(identity);
        if (!read)
            return read;
        Slave& model = contents_.config.slaves.emplace_back();
        model.identity = identity;
        if (auto configured = ReadSlaveConfig(slave, contents_.slaves.size() - 1, model);
            !configured)
            return Refuse(std::move(configured.error()));
        return {};
    }

    std::expected<void, Error> Field(const pugi::xml_node& slave, const pugi::xml_node& info,
                                     const char* name, std::uint32_t& value) {
        std::size_t position = contents_.slaves.size();
        pugi::xml_node element = info ? FirstChild(info, name) : pugi::xml_node();
        if (!element) {
            if (contents_.notes.missingElements++ < kMaxNotes) {
                contents_.notes.lines.push_back(
                    Format("slave %zu (line %zu): no <Info>/<%s>; it reads as 0", position,
                           LineAt(slave.offset_debug()), name));
            }
            return {};
        }
        const char* text = element.text().get();
        auto number = ParseEniNumber(text);
        if (!number) {
            std::size_t line = LineAt(element.offset_debug());
            return Refuse(
                Format("slave %zu (line %zu): <%s> \"%.40s\" is not an unsigned 32-bit number",
                       position, line, name, text),
                line, SlavePath(position) + "/Info/" + name);
        }
        value = *number;
        return {};
    }

    std::unexpected<Error> Refuse(std::string message, std::size_t line, std::string element) {
        Error error;
        error.message = std::move(message);
        error.line = line;
        error.element = std::move(element);
        error.notes = std::move(contents_.notes);
        return std::unexpected(std::move(error));
    }

    // A malformed element of the network's configuration: its line, path
    // and what is wrong with it.
    std::unexpected<Error> Refuse(Refusal refusal) {
        const std::size_t line = LineAt(refusal.offset);
        std::string message =
            Format("line %zu: %s: %s", line, refusal.element.c_str(), refusal.reason.c_str());
        return Refuse(std::move(message), line, std::move(refusal.element));
    }

    // Slaves are numbered from 0 in document order, as in the messages.
    static std::string SlavePath(std::size_t position) {
        return Format("Config/Slave[%zu]", position);
    }

    // Line of a byte offset, counted from 1. In-place parsing rewrites some
    // text, so this is exact for line ends and close enough elsewhere.
    std::size_t LineAt(std::ptrdiff_t offset) const {
        if (offset < 0)
            return 0;
        std::size_t end = std::min(static_cast<std::size_t>(offset), buffer_.size());
        std::size_t lines = 1;
        for (std::size_t i = 0; i < end; ++i)
            lines += buffer_[i] == '\n';
        return lines;
    }

    std::vector<char>& buffer_;
    pugi::xml_encoding encoding_;
    EniContents contents_;
};

}  // namespace

std::expected<EniContents, Error> ReadEniText(std::string_view text) {
    XmlInput input = PrepareXml(std::vector<char>(text.begin(), text.end()));
    return Reader(input).Read();
}

std::expected<EniContents, Error> ReadEniFile(const std::filesystem::path& path) {
    auto bytes = ReadFileBytes(path, kMaxEniBytes);
    if (!bytes)
        return std::unexpected(std::move(bytes.error()));
    XmlInput input = PrepareXml(std::move(*bytes));
    return Reader(input).Read();
}

}  // namespace parvane::eni
