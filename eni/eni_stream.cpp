#include "eni/eni_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <pugixml.hpp>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "eni/config_reader.h"
#include "eni/file_bytes.h"
#include "eni/number_text.h"
#include "eni/xml_encoding.h"

namespace parvane::eni {
namespace {

constexpr std::size_t kMaxSlaves = 0xFFFF;  // as the whole-document reader
constexpr std::size_t kWindowBytes = std::size_t{1} << 20;
constexpr std::size_t kBatchBytes = std::size_t{256} << 10;
constexpr std::size_t kMaxInputBytes = std::size_t{1} << 30;
constexpr unsigned kParseOptions =
    pugi::parse_default | pugi::parse_embed_pcdata | pugi::parse_fragment;

// The bytes not yet taken, read from the source a window at a time.
class Window {
  public:
    // No larger than the input is said to be (one byte more, to see its end).
    Window(const ByteSource& source, std::size_t sizeHint)
        : source_(source), bytes_(std::min(sizeHint, kWindowBytes - 1) + 1) {}

    std::string_view text() const { return {bytes_.data() + start_, filled_ - start_}; }
    bool failed() const { return failed_; }
    void Take(std::size_t n) { start_ += n; }

    // Reads more after the bytes not yet taken (moved to the front; the
    // window grows when they fill it). False at the end of the input, and
    // for good once it cannot be read, holds a zero byte or is longer than
    // any ENI may be.
    bool More() {
        if (start_ > 0) {
            std::memmove(bytes_.data(), bytes_.data() + start_, filled_ - start_);
            filled_ -= start_;
            start_ = 0;
        }
        if (filled_ == bytes_.size())
            bytes_.resize(bytes_.size() * 2);
        auto n = source_(bytes_.data() + filled_, bytes_.size() - filled_);
        // The parser takes a zero byte for the end of its text, wherever it
        // lies: the whole-document reader then refuses the file or reads less.
        if (!n || (total_ += *n) > kMaxInputBytes ||
            std::memchr(bytes_.data() + filled_, 0, *n) != nullptr)
            failed_ = true;
        if (failed_ || *n == 0)
            return false;
        filled_ += *n;
        return true;
    }

  private:
    const ByteSource& source_;
    std::vector<char> bytes_;
    std::size_t start_ = 0;
    std::size_t filled_ = 0;
    std::size_t total_ = 0;
    bool failed_ = false;
};

enum class Scan { kDone, kMore, kBad };

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsNameStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':';
}

bool IsNameChar(char c) {
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// `end` past the first `close` at or after `from`.
Scan Through(std::string_view t, std::size_t from, std::string_view close, std::size_t& end) {
    const std::size_t at = t.find(close, from);
    if (at == std::string_view::npos)
        return Scan::kMore;
    end = at + close.size();
    return Scan::kDone;
}

// A comment or processing instruction at `at` (which holds '<'), checked
// as the parser checks those it passes over: an instruction's target starts
// like a name.
Scan Aside(std::string_view t, std::size_t at, std::size_t& end) {
    if (t.size() < at + 4)
        return Scan::kMore;
    if (t.compare(at, 4, "<!--") == 0)
        return Through(t, at + 4, "-->", end);
    if (t[at + 1] == '?' && IsNameStart(t[at + 2]))
        return Through(t, at + 2, "?>", end);
    return Scan::kBad;
}

// A start tag at `at` checked strictly (it is not parsed by pugixml): a
// plain name, attributes with quoted values without markup or references.
Scan StartTag(std::string_view t, std::size_t at, std::size_t& end, std::string_view& name,
              bool& empty) {
    std::size_t i = at + 1;
    auto need = [&](std::size_t n) { return i + n <= t.size(); };
    if (!need(1))
        return Scan::kMore;
    if (!IsNameStart(t[i]))
        return Scan::kBad;
    const std::size_t nameStart = i;
    while (need(1) && IsNameChar(t[i]))
        ++i;
    name = t.substr(nameStart, i - nameStart);
    for (;;) {
        const std::size_t before = i;
        while (need(1) && IsSpace(t[i]))
            ++i;
        if (!need(1))
            return Scan::kMore;
        if (t[i] == '>' || t[i] == '/') {
            empty = t[i] == '/';
            if (empty && !need(2))
                return Scan::kMore;
            if (empty && t[i + 1] != '>')
                return Scan::kBad;
            end = i + (empty ? 2 : 1);
            return Scan::kDone;
        }
        if (i == before || !IsNameStart(t[i]))
            return Scan::kBad;
        while (need(1) && IsNameChar(t[i]))
            ++i;
        while (need(1) && IsSpace(t[i]))
            ++i;
        if (!need(2))
            return Scan::kMore;
        if (t[i] != '=')
            return Scan::kBad;
        ++i;
        while (need(1) && IsSpace(t[i]))
            ++i;
        if (!need(1))
            return Scan::kMore;
        const char quote = t[i];
        if (quote != '"' && quote != '\'')
            return Scan::kBad;
        const std::size_t close = t.find(quote, i + 1);
        if (close == std::string_view::npos)
            return Scan::kMore;
        if (t.substr(i + 1, close - i - 1).find_first_of("<&") != std::string_view::npos)
            return Scan::kBad;
        i = close + 1;
    }
}

// An end tag of exactly `name` at `at`.
Scan EndTag(std::string_view t, std::size_t at, std::string_view name, std::size_t& end) {
    std::size_t i = at + 2 + name.size();
    if (t.size() < i)
        return Scan::kMore;
    if (t.compare(at, 2, "</") != 0 || t.compare(at + 2, name.size(), name) != 0)
        return Scan::kBad;
    while (i < t.size() && IsSpace(t[i]))
        ++i;
    if (i == t.size())
        return Scan::kMore;
    if (t[i] != '>')
        return Scan::kBad;
    end = i + 1;
    return Scan::kDone;
}

// The extent of the element whose start tag is at `at`: up to its end tag,
// found by counting the tags in between (text, comments, CDATA and
// instructions passed over; quoted attribute values may hold '>'). The
// parser checks the element itself.
Scan Element(std::string_view t, std::size_t at, std::size_t& end) {
    std::size_t depth = 0;
    std::size_t i = at;
    const char* const text = t.data();
    const std::size_t size = t.size();
    for (;;) {
        // Text between tags is a few bytes here; a plain loop is cheaper
        // than a library search that many times.
        while (i < size && text[i] != '<')
            ++i;
        if (i + 1 >= size)
            return Scan::kMore;
        std::size_t next = 0;
        Scan scan = Scan::kDone;
        if (t[i + 1] == '!') {
            if (t.size() < i + 9)
                return Scan::kMore;
            if (t.compare(i, 9, "<![CDATA[") == 0)
                scan = Through(t, i + 9, "]]>", next);
            else
                scan = Aside(t, i, next);
        } else if (t[i + 1] == '?') {
            scan = Aside(t, i, next);
        } else {
            // A tag: to its '>' outside quotes.
            std::size_t j = i + 1;
            for (; j < size && text[j] != '>'; ++j) {
                if (text[j] == '"' || text[j] == '\'') {
                    j = t.find(text[j], j + 1);
                    if (j == std::string_view::npos)
                        return Scan::kMore;
                }
            }
            if (j == size)
                return Scan::kMore;
            next = j + 1;
            if (t[i + 1] == '/') {
                if (depth == 0)
                    return Scan::kBad;
                --depth;
            } else if (t[j - 1] != '/') {
                ++depth;
            }
        }
        if (scan != Scan::kDone)
            return scan;
        i = next;
        if (depth == 0) {
            end = next;
            return Scan::kDone;
        }
    }
}

// True when no byte of `text` has its top bit set; eight at a time, as
// this runs over the whole of a single-byte file.
bool IsAscii(std::string_view text) {
    std::uint64_t bits = 0;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        bits |= word;
    }
    for (; i < text.size(); ++i)
        bits |= static_cast<unsigned char>(text[i]);
    return (bits & 0x8080808080808080u) == 0;
}

std::string_view Local(std::string_view name) {
    const std::size_t colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

pugi::xml_node FirstChild(const pugi::xml_node& parent, std::string_view localName) {
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element && LocalName(child) == localName)
            return child;
    }
    return {};
}

class Streamer {
  public:
    Streamer(const ByteSource& source, std::size_t sizeHint) : window_(source, sizeHint) {
        // Room for the slaves a file of this size holds at a kilobyte each
        // (pages of the room that stays unused are never touched).
        const std::size_t slaves = std::min(sizeHint / 1024 + 1, kMaxSlaves);
        contents_.slaves.reserve(slaves);
        contents_.config.slaves.reserve(slaves);
        AdviseHugePages(contents_.config.slaves.data(), slaves * sizeof(Slave));
    }

    std::optional<EniContents> Read() {
        SharedTextScope texts;
        // A read that fails at the end passes for the end of the input: the
        // model is then not the whole file's.
        if (!Prolog() || !Root() || !Epilog() || window_.failed())
            return std::nullopt;
        return std::move(contents_);
    }

  private:
    // Calls step(text, end) until it is done, reading more while it needs
    // more; takes the bytes it covered.
    template <typename Step>
    bool Next(Step&& step) {
        for (;;) {
            std::size_t end = 0;
            const Scan scan = step(window_.text(), end);
            if (scan == Scan::kDone) {
                window_.Take(end);
                return true;
            }
            if (scan == Scan::kBad || !window_.More())
                return false;
        }
    }

    // White space, comments and instructions; false at the end of the
    // input or on anything else.
    bool SkipAsides(bool& atTag) {
        atTag = false;
        for (;;) {
            std::string_view t = window_.text();
            std::size_t i = 0;
            while (i < t.size() && IsSpace(t[i]))
                ++i;
            window_.Take(i);
            t = window_.text();
            if (t.size() < 2) {
                if (!window_.More())
                    return t.empty();
                continue;
            }
            if (t[0] != '<')
                return false;
            if (t[1] != '!' && t[1] != '?') {
                atTag = true;
                return true;
            }
            if (!Next([](std::string_view text, std::size_t& end) { return Aside(text, 0, end); }))
                return false;
        }
    }

    bool Prolog() {
        // The encoding is taken from the first bytes, as the whole-document
        // reader takes it: they are all read before it is decided.
        while (window_.text().size() < kEncodingScanBytes && window_.More()) {
        }
        if (window_.failed())
            return false;
        std::string_view t = window_.text();
        const std::string_view first = t.substr(0, kEncodingScanBytes);
        // A declaration that does not end in them may still name an encoding
        // that the parser would find.
        if (first.substr(first.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0, 5) == "<?xml" &&
            first.find("?>") == std::string_view::npos)
            return false;
        latin1_ = IsSingleByteEncoding(DeclaredEncoding(first));
        if (t.substr(0, 3) == "\xEF\xBB\xBF") {
            if (latin1_)
                return false;  // the whole-document reader converts the mark too
            window_.Take(3);
            t = window_.text();
        }
        // UTF-16 and UTF-32 start with a zero byte or a byte order mark.
        if (t.empty() || t[0] != '<')
            return false;
        bool atTag = false;
        return SkipAsides(atTag) && atTag;
    }

    bool Root() {
        std::string name;
        bool empty = false;
        if (!Next([&](std::string_view t, std::size_t& end) {
                std::string_view tag;
                const Scan scan = StartTag(t, 0, end, tag, empty);
                name = tag;
                return scan;
            }))
            return false;
        const std::string_view local = Local(name);
        if (empty || (local != "EtherCATConfig" && local != "EncryptedEtherCATConfig"))
            return false;
        bool sawConfig = false;
        for (;;) {
            bool atTag = false;
            if (!SkipAsides(atTag) || !atTag)
                return false;
            if (window_.text()[1] == '/')
                return sawConfig && Next([&](std::string_view t, std::size_t& end) {
                           return EndTag(t, 0, name, end);
                       });
            std::string child;
            bool childEmpty = false;
            std::size_t tagEnd = 0;
            for (;;) {
                std::string_view tag;
                const Scan scan = StartTag(window_.text(), 0, tagEnd, tag, childEmpty);
                if (scan == Scan::kBad)
                    return false;
                if (scan == Scan::kDone) {
                    child = tag;
                    break;
                }
                if (!window_.More())
                    return false;
            }
            if (!sawConfig && Local(child) == "Config") {
                sawConfig = true;
                if (childEmpty) {
                    window_.Take(tagEnd);
                } else {
                    window_.Take(tagEnd);
                    if (!Config(child))
                        return false;
                }
            } else if (!Checked()) {
                return false;
            }
        }
    }

    // The elements under Config, a batch at a time: batches of slaves only
    // are read in turn by a helper thread and by this one (the helper reads
    // one while this one scans and reads the next); a batch with anything
    // else is read here, after those before it, in document order.
    bool Config(const std::string& name) {
        std::thread helper;
        SlaveBatch helped;
        auto joinHelper = [&] {
            if (!helper.joinable())
                return true;
            helper.join();
            return Append(helped);
        };
        for (;;) {
            bool atTag = false;
            if (!SkipAsides(atTag) || !atTag) {
                joinHelper();
                return false;
            }
            if (window_.text()[1] == '/') {
                return joinHelper() && Next([&](std::string_view t, std::size_t& end) {
                           return EndTag(t, 0, name, end);
                       });
            }
            // The helper's batch when it is idle, else this thread's; their
            // buffers are kept from batch to batch.
            const bool forHelper = !helper.joinable();
            Batch& batch = forHelper ? helperBatch_ : ownBatch_;
            if (!ScanBatch(batch, kBatchBytes)) {
                joinHelper();
                return false;
            }
            if (!batch.onlySlaves) {
                if (!joinHelper() || !Parse(batch.text, document_))
                    return false;
                for (pugi::xml_node node = document_.first_child(); node;
                     node = node.next_sibling()) {
                    if (!ReadConfigChild(node))
                        return false;
                }
                continue;
            }
            if (forHelper) {
                helped = SlaveBatch{};
                try {
                    helper = std::thread([this, &helped] {
                        SharedTextScope texts;
                        ReadSlaves(helperBatch_, helperDocument_, helped);
                    });
                } catch (const std::system_error&) {
                    ReadSlaves(helperBatch_, helperDocument_, helped);  // no thread to be had
                    if (!Append(helped))
                        return false;
                }
                continue;
            }
            SlaveBatch own;
            ReadSlaves(batch, document_, own);
            if (!joinHelper() || !Append(own))
                return false;
        }
    }

    // Elements under Config taken together: their text as UTF-8, and how
    // many of them are slaves.
    struct Batch {
        std::vector<char> text;
        std::size_t firstSlave = 0;  // position of its first slave
        std::size_t slaves = 0;
        bool onlySlaves = true;
    };

    // What reading a batch of slaves gave.
    struct SlaveBatch {
        std::vector<SlaveIdentity> identities;
        std::vector<Slave> models;
        bool read = false;
    };

    static bool Parse(std::vector<char>& text, pugi::xml_document& document) {
        return static_cast<bool>(document.load_buffer_inplace(text.data(), text.size(),
                                                              kParseOptions, pugi::encoding_utf8));
    }

    // Reads a batch of slaves only; touches nothing of this reader but the
    // batch, the document and the result, so that a helper thread may run it.
    static void ReadSlaves(Batch& batch, pugi::xml_document& document, SlaveBatch& out) {
        if (!Parse(batch.text, document))
            return;
        out.identities.reserve(batch.slaves);
        out.models.reserve(batch.slaves);
        std::size_t position = batch.firstSlave;
        for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling()) {
            if (node.type() != pugi::node_element || LocalName(node) != "Slave" ||
                !ReadSlave(node, position++, out))
                return;
        }
        out.read = out.models.size() == batch.slaves;
    }

    bool Append(SlaveBatch& batch) {
        if (!batch.read)
            return false;
        contents_.slaves.insert(contents_.slaves.end(), batch.identities.begin(),
                                batch.identities.end());
        for (Slave& slave : batch.models)
            contents_.config.slaves.push_back(std::move(slave));
        return true;
    }

    bool ReadConfigChild(const pugi::xml_node& node) {
        if (node.type() != pugi::node_element)
            return false;
        const std::string_view local = LocalName(node);
        if (local == "Slave") {
            SlaveBatch one;
            one.read = ReadSlave(node, contents_.slaves.size(), one);
            return Append(one);
        }
        if (local == "Master")
            return ReadMasterConfig(node, contents_.config).has_value();
        if (local == "Cyclic") {
            Cyclic& cyclic = contents_.config.cyclic.emplace_back();
            return ReadCyclicConfig(node, contents_.config.cyclic.size() - 1, cyclic).has_value();
        }
        if (local == "ProcessImage")
            return ReadProcessImage(node, contents_.config.processImage).has_value();
        return true;
    }

    bool Epilog() {
        bool atTag = false;
        return SkipAsides(atTag) && !atTag;
    }

    // The element at the front and the elements right after it (up to
    // `batchBytes`, only white space between them), to be parsed together:
    // one parse and one set of nodes for many slaves.
    bool ScanBatch(Batch& batch, std::size_t batchBytes) {
        batch.text.clear();
        batch.firstSlave = scannedSlaves_;
        batch.slaves = 0;
        batch.onlySlaves = true;
        for (;;) {
            std::string_view text;
            if (!Next([&](std::string_view t, std::size_t& end) {
                    const Scan scan = Element(t, 0, end);
                    text = t.substr(0, end);
                    return scan;
                }))
                return false;
            const std::size_t nameEnd = text.find_first_of(" \t\r\n/>");
            if (Local(text.substr(1, nameEnd - 1)) == "Slave") {
                if (++scannedSlaves_ > kMaxSlaves)
                    return false;  // refused by the whole-document reader
                ++batch.slaves;
            } else {
                batch.onlySlaves = false;
            }
            Append(text, batch.text);
            std::string_view t = window_.text();
            std::size_t i = 0;
            while (i < t.size() && IsSpace(t[i]))
                ++i;
            // The next element joins when it starts in the window already
            // (a comment or the end tag ends the batch).
            if (batch.text.size() >= batchBytes || i + 1 >= t.size() || t[i] != '<' ||
                !IsNameStart(t[i + 1]))
                return true;
            window_.Take(i);
        }
    }

    // The text as UTF-8: bytes of a single-byte encoding converted.
    void Append(std::string_view text, std::vector<char>& out) const {
        if (!latin1_ || IsAscii(text)) {
            out.insert(out.end(), text.begin(), text.end());
            return;
        }
        for (char c : text) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x80) {
                out.push_back(c);
            } else {
                out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
                out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
            }
        }
    }

    // An element that is not read, parsed only to be sure it is well formed.
    bool Checked() { return ScanBatch(ownBatch_, 0) && Parse(ownBatch_.text, document_); }

    static bool ReadSlave(const pugi::xml_node& slave, std::size_t position, SlaveBatch& out) {
        SlaveIdentity identity;
        pugi::xml_node info = FirstChild(slave, "Info");
        for (auto [name, value] : {std::pair{"VendorId", &identity.vendorId},
                                   std::pair{"ProductCode", &identity.productCode},
                                   std::pair{"RevisionNo", &identity.revisionNo}}) {
            pugi::xml_node element = info ? FirstChild(info, name) : pugi::xml_node();
            auto number = element ? ParseEniNumber32(element.text().get()) : std::nullopt;
            if (!number)
                return false;  // a note or a refusal: the whole-document reader says which
            *value = *number;
        }
        out.identities.push_back(identity);
        Slave& model = out.models.emplace_back();
        model.identity = identity;
        return ReadSlaveConfig(slave, position, model).has_value();
    }

    Window window_;
    bool latin1_ = false;
    std::size_t scannedSlaves_ = 0;
    pugi::xml_document document_;
    Batch ownBatch_;
    // The helper thread's: only it touches them while it runs.
    Batch helperBatch_;
    pugi::xml_document helperDocument_;
    EniContents contents_;
};

}  // namespace

std::optional<EniContents> StreamEni(std::size_t sizeHint, const ByteSource& source) {
    return Streamer(source, sizeHint).Read();
}

std::optional<EniContents> StreamEniFile(const std::filesystem::path& path) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    OpenFile file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) > kMaxInputBytes)
        return std::nullopt;
    return StreamEni(static_cast<std::size_t>(info.st_size),
                     [&file](char* into, std::size_t size) -> std::optional<std::size_t> {
                         for (;;) {
                             const ssize_t n = ::read(file.get(), into, size);
                             if (n >= 0)
                                 return static_cast<std::size_t>(n);
                             if (errno != EINTR)
                                 return std::nullopt;
                         }
                     });
}

}  // namespace parvane::eni
