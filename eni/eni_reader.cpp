#include "driver/eni_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <pugixml.hpp>

#include "driver/file_bytes.h"
#include "driver/number_text.h"
#include "driver/xml_encoding.h"

namespace driver {
namespace {

constexpr std::size_t kMaxSlaves = 0xFFFF;  // counts are 16-bit on the wire
constexpr std::size_t kMaxNotes = 20;
constexpr std::size_t kMaxEniBytes = std::size_t{1} << 30;

// The element's name without a namespace prefix.
std::string_view LocalName(const pugi::xml_node& node) {
    std::string_view name = node.name();
    auto colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

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

    EniContents Read() {
        pugi::xml_document document;
        const unsigned options = pugi::parse_default | pugi::parse_embed_pcdata;
        pugi::xml_parse_result parsed =
            document.load_buffer_inplace(buffer_.data(), buffer_.size(), options, encoding_);
        if (!parsed) {
            contents_.error = Format("XML parse error at offset %td (line %zu): %s", parsed.offset,
                                     LineAt(parsed.offset), parsed.description());
            return std::move(contents_);
        }
        pugi::xml_node root = document.document_element();
        std::string_view rootName = LocalName(root);
        if (rootName != "EtherCATConfig" && rootName != "EncryptedEtherCATConfig") {
            contents_.error =
                Format("not an ENI file: the root element is <%.60s>, expected <EtherCATConfig>",
                       root.name());
            return std::move(contents_);
        }
        pugi::xml_node config = FirstChild(root, "Config");
        if (!config) {
            contents_.error = Format("no <Config> element under <%.60s>", root.name());
            return std::move(contents_);
        }
        for (pugi::xml_node slave = config.first_child(); slave; slave = slave.next_sibling()) {
            if (slave.type() != pugi::node_element || LocalName(slave) != "Slave")
                continue;
            if (contents_.slaves.size() == kMaxSlaves) {
                contents_.error = Format("more than %zu slaves", kMaxSlaves);
                return std::move(contents_);
            }
            if (!ReadSlave(slave))
                return std::move(contents_);
        }
        contents_.loaded = true;
        return std::move(contents_);
    }

  private:
    bool ReadSlave(const pugi::xml_node& slave) {
        SlaveIdentity identity;
        pugi::xml_node info = FirstChild(slave, "Info");
        bool ok = Field(slave, info, "VendorId", identity.vendorId) &&
                  Field(slave, info, "ProductCode", identity.productCode) &&
                  Field(slave, info, "RevisionNo", identity.revisionNo);
        contents_.slaves.push_back(identity);
        return ok;
    }

    bool Field(const pugi::xml_node& slave, const pugi::xml_node& info, const char* name,
               std::uint32_t& value) {
        std::size_t position = contents_.slaves.size();
        pugi::xml_node element = info ? FirstChild(info, name) : pugi::xml_node();
        if (!element) {
            if (contents_.missingElements++ < kMaxNotes) {
                contents_.notes.push_back(
                    Format("slave %zu (line %zu): no <Info>/<%s>; it reads as 0", position,
                           LineAt(slave.offset_debug()), name));
            }
            return true;
        }
        const char* text = element.text().get();
        auto number = ParseEniNumber(text);
        if (!number) {
            contents_.error =
                Format("slave %zu (line %zu): <%s> \"%.40s\" is not an unsigned 32-bit number",
                       position, LineAt(element.offset_debug()), name, text);
            return false;
        }
        value = *number;
        return true;
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

EniContents ReadEniText(std::string_view text) {
    XmlInput input = PrepareXml(std::vector<char>(text.begin(), text.end()));
    return Reader(input).Read();
}

EniContents ReadEniFile(const std::filesystem::path& path) {
    std::vector<char> bytes;
    EniContents refused;
    if (!ReadFileBytes(path, kMaxEniBytes, bytes, refused.error))
        return refused;
    XmlInput input = PrepareXml(std::move(bytes));
    return Reader(input).Read();
}

}  // namespace driver
