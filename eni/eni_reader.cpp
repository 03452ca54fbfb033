#include "eni/eni_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <system_error>
#include <thread>

#include "eni/config_reader.h"
#include "eni/eni_stream.h"
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
        SharedTextScope texts;
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
        // Slaves are read first, on two threads when there are many (the
        // document is only read, which pugixml allows from several
        // threads); the pass in document order below then takes their
        // results, so refusals and notes come out as a single pass gives them.
        std::vector<pugi::xml_node> slaveNodes;
        for (pugi::xml_node child = config.first_child(); child; child = child.next_sibling()) {
            if (child.type() == pugi::node_element && LocalName(child) == "Slave" &&
                slaveNodes.size() < kMaxSlaves)
                slaveNodes.push_back(child);
        }
        contents_.slaves.resize(slaveNodes.size());
        contents_.config.slaves.resize(slaveNodes.size());
        std::vector<SlaveRun> runs = ReadSlaves(slaveNodes);

        std::size_t position = 0;
        std::size_t run = 0, missing = 0;
        for (pugi::xml_node child = config.first_child(); child; child = child.next_sibling()) {
            if (child.type() != pugi::node_element)
                continue;
            std::string_view name = LocalName(child);
            if (name == "Slave") {
                if (position == kMaxSlaves) {
                    return Refuse(Format("more than %zu slaves", kMaxSlaves),
                                  LineAt(child.offset_debug()), SlavePath(position));
                }
                while (runs[run].first + runs[run].count <= position) {
                    ++run;
                    missing = 0;
                }
                const SlaveRun& r = runs[run];
                for (; missing < r.missing.size() && r.missing[missing].position == position;
                     ++missing) {
                    if (contents_.notes.missingElements++ < kMaxNotes)
                        contents_.notes.lines.push_back(r.missing[missing].line);
                }
                if (r.refusal && r.refusal->position == position) {
                    Error error = r.refusal->error;
                    error.notes = std::move(contents_.notes);
                    return std::unexpected(std::move(error));
                }
                ++position;
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
    // An identity element a slave lacks; the line only for the first few of a run.
    struct Missing {
        std::size_t position = 0;
        std::string line;
    };
    struct PositionedError {
        std::size_t position = 0;
        Error error;  // without notes: the pass in document order adds them
    };
    // The slaves from `first` on, read until `count` are done or one is refused.
    struct SlaveRun {
        std::size_t first = 0;
        std::size_t count = 0;
        std::vector<Missing> missing;
        std::optional<PositionedError> refusal;
    };

    // Below this many slaves a second thread costs more than it saves.
    static constexpr std::size_t kSlavesForTwoThreads = 256;

    std::vector<SlaveRun> ReadSlaves(const std::vector<pugi::xml_node>& nodes) {
        const std::size_t half = nodes.size() >= kSlavesForTwoThreads ? nodes.size() / 2 : 0;
        std::vector<SlaveRun> runs(half > 0 ? 2 : 1);
        runs.front().count = half > 0 ? half : nodes.size();
        if (half == 0) {
            ReadRun(nodes, runs.front());
            return runs;
        }
        runs.back().first = half;
        runs.back().count = nodes.size() - half;
        std::thread second;
        try {
            second = std::thread([&] { ReadRun(nodes, runs.back()); });
        } catch (const std::system_error&) {
            ReadRun(nodes, runs.back());  // no thread to be had: read it here
        }
        ReadRun(nodes, runs.front());
        if (second.joinable())
            second.join();
        return runs;
    }

    void ReadRun(const std::vector<pugi::xml_node>& nodes, SlaveRun& run) {
        SharedTextScope texts;
        for (std::size_t p = run.first; p < run.first + run.count; ++p) {
            if (auto refused = ReadSlave(nodes[p], p, run); !refused) {
                run.refusal = PositionedError{p, std::move(refused.error())};
                return;
            }
        }
    }

    std::expected<void, Error> ReadSlave(const pugi::xml_node& slave, std::size_t position,
                                         SlaveRun& run) {
        SlaveIdentity& identity = contents_.slaves[position];
        pugi::xml_node info = FirstChild(slave, "Info");
        auto read = Field(slave, position, info, "VendorId", identity.vendorId, run);
        if (read)
            read = Field(slave, position, info, "ProductCode", identity.productCode, run);
        if (read)
            read = Field(slave, position, info, "RevisionNo", identity.revisionNo, run);
        if (!read)
            return read;
        Slave& model = contents_.config.slaves[position];
        model.identity = identity;
        if (auto configured = ReadSlaveConfig(slave, position, model); !configured)
            return std::unexpected(ErrorOf(std::move(configured.error())));
        return {};
    }

    std::expected<void, Error> Field(const pugi::xml_node& slave, std::size_t position,
                                     const pugi::xml_node& info, const char* name,
                                     std::uint32_t& value, SlaveRun& run) {
        pugi::xml_node element = info ? FirstChild(info, name) : pugi::xml_node();
        if (!element) {
            Missing& missing = run.missing.emplace_back();
            missing.position = position;
            if (run.missing.size() <= kMaxNotes) {
                missing.line = Format("slave %zu (line %zu): no <Info>/<%s>; it reads as 0",
                                      position, LineAt(slave.offset_debug()), name);
            }
            return {};
        }
        const char* text = element.text().get();
        auto number = ParseEniNumber32(text);
        if (!number) {
            std::size_t line = LineAt(element.offset_debug());
            Error error;
            error.message = Format("slave %zu (line %zu): <%s> \"%.40s\" is not a 32-bit number",
                                   position, line, name, text);
            error.line = line;
            error.element = SlavePath(position) + "/Info/" + name;
            return std::unexpected(std::move(error));
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
        Error error = ErrorOf(std::move(refusal));
        return Refuse(std::move(error.message), error.line, std::move(error.element));
    }

    Error ErrorOf(Refusal refusal) const {
        Error error;
        error.line = LineAt(refusal.offset);
        error.message =
            Format("line %zu: %s: %s", error.line, refusal.element.c_str(), refusal.reason.c_str());
        error.element = std::move(refusal.element);
        return error;
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
    // Each slave's entries are written by the one thread that reads it.
    EniContents contents_;
};

}  // namespace

std::expected<EniContents, Error> ReadEniText(std::string_view text) {
    std::size_t at = 0;
    auto streamed =
        StreamEni(text.size(), [&](char* into, std::size_t size) -> std::optional<std::size_t> {
            const std::size_t n = std::min(size, text.size() - at);
            std::memcpy(into, text.data() + at, n);
            at += n;
            return n;
        });
    if (streamed)
        return std::move(*streamed);
    XmlInput input = PrepareXml(std::vector<char>(text.begin(), text.end()));
    return Reader(input).Read();
}

std::expected<EniContents, Error> ReadEniFile(const std::filesystem::path& path) {
    if (auto streamed = StreamEniFile(path))
        return std::move(*streamed);
    auto bytes = ReadFileBytes(path, kMaxEniBytes);
    if (!bytes)
        return std::unexpected(std::move(bytes.error()));
    XmlInput input = PrepareXml(std::move(*bytes));
    return Reader(input).Read();
}

std::size_t WithoutPassiveTerminals(EniContents& contents) {
    const std::size_t count = std::min(contents.slaves.size(), contents.config.slaves.size());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (contents.config.slaves[i].passive)
            continue;
        if (kept != i)
            contents.slaves[kept] = contents.slaves[i];
        ++kept;
    }
    contents.slaves.resize(kept);
    return WithoutPassiveTerminals(contents.config);
}

}  // namespace parvane::eni
