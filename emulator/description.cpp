#include "emulator/description.h"

#include <nlohmann/json.hpp>

#include "eni/file_bytes.h"
#include "eni/number_text.h"

namespace parvane::emulator {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxDescriptionBytes = std::size_t{16} << 20;
constexpr std::uint32_t kMaxOpeningsLimit = 1000;
constexpr std::uint32_t kHour = 3'600'000;

// Walks the document; the first problem found is kept, naming the key.
class Checker {
  public:
    std::string error;

    std::optional<std::uint32_t> Number(const json& value, const std::string& key,
                                        std::uint32_t max) {
        auto number = DescriptionNumber(value, max);
        if (!number)
            return Fail(key, number.error());
        return *number;
    }

    std::optional<ecat::AlState> State(const json& value, const std::string& key) {
        auto number = Number(value, key, 0xFFFF);
        if (!number)
            return std::nullopt;
        if (!ecat::IsNetworkState(*number))
            return Fail(key, "expected a state: 1, 2, 4 or 8");
        return static_cast<ecat::AlState>(*number);
    }

    std::optional<bool> Bool(const json& value, const std::string& key) {
        if (!value.is_boolean())
            return Fail(key, "expected true or false");
        return value.get<bool>();
    }

    bool Is(bool ok, const std::string& key, const char* what) {
        if (!ok)
            Fail(key, std::string("expected ") + what);
        return ok;
    }

    std::nullopt_t Fail(const std::string& key, const std::string& why) {
        if (error.empty())
            error = key + ": " + why;
        return std::nullopt;
    }
};

std::optional<DescribedSlave> ReadSlave(Checker& check, const json& value, const std::string& key) {
    if (!check.Is(value.is_object(), key, "an object"))
        return std::nullopt;
    DescribedSlave slave;
    for (const auto& [name, item] : value.items()) {
        const std::string itemKey = key + "." + name;
        if (name == "vendor_id") {
            slave.vendorId = check.Number(item, itemKey, 0xFFFFFFFF);
        } else if (name == "product_code") {
            slave.productCode = check.Number(item, itemKey, 0xFFFFFFFF);
        } else if (name == "revision_no") {
            slave.revisionNo = check.Number(item, itemKey, 0xFFFFFFFF);
        } else if (name == "max_state") {
            if (auto state = check.State(item, itemKey))
                slave.maxState = *state;
        } else if (name == "refusal_code") {
            if (auto n = check.Number(item, itemKey, 0xFFFF)) {
                if (*n == 0)
                    check.Fail(itemKey, "0 is no refusal");
                slave.refusalCode = static_cast<std::uint16_t>(*n);
            }
        } else if (name == "eeprom_busy_us") {
            slave.eepromBusyUs = check.Number(item, itemKey, 1'000'000);
        } else if (name == "eeprom_errors") {
            if (auto n = check.Number(item, itemKey, 0xFFFFFFFF))
                slave.eepromErrors = *n;
        } else if (name == "alias") {
            if (auto n = check.Number(item, itemKey, 0xFFFF))
                slave.alias = static_cast<std::uint16_t>(*n);
        } else if (name == "device_emulation") {
            if (auto b = check.Bool(item, itemKey))
                slave.deviceEmulation = *b;
        } else {
            check.Fail(itemKey, "unknown key");
        }
        if (!check.error.empty())
            return std::nullopt;
    }
    return slave;
}

}  // namespace

std::expected<std::uint32_t, std::string> DescriptionNumber(const json& value, std::uint32_t max) {
    std::optional<std::uint64_t> number;
    if (value.is_number_unsigned()) {
        number = value.get<std::uint64_t>();
    } else if (value.is_number_integer()) {
        return std::unexpected("must not be negative");
    } else if (value.is_string()) {
        number = eni::ParseHexText(value.get_ref<const std::string&>());
    }
    if (!number)
        return std::unexpected("expected a number or a \"0x\" hexadecimal text");
    if (*number > max)
        return std::unexpected("larger than " + std::to_string(max));
    return static_cast<std::uint32_t>(*number);
}

std::expected<Description, std::string> ReadDescriptionText(std::string_view text) {
    json document;
    try {
        document = json::parse(text.begin(), text.end(), nullptr, true, true);
    } catch (const json::exception& e) {
        return std::unexpected(std::string("JSON parse error: ") + e.what());
    }
    Checker check;
    if (!check.Is(document.is_object(), "(top level)", "an object"))
        return std::unexpected(check.error);
    Description d;
    for (const auto& [name, item] : document.items()) {
        if (name == "slaves") {
            if (!check.Is(item.is_array(), name, "an array")) {
            } else if (item.size() > 0xFFFF) {
                check.Fail(name, "more than 65535 slaves");
            } else {
                std::vector<DescribedSlave> slaves;
                for (std::size_t i = 0; i < item.size() && check.error.empty(); ++i) {
                    if (auto s = ReadSlave(check, item[i], "slaves[" + std::to_string(i) + "]"))
                        slaves.push_back(*s);
                }
                d.slaves = std::move(slaves);
            }
        } else if (name == "transition_ms") {
            if (auto n = check.Number(item, name, kHour))
                d.transitionMs = *n;
        } else if (name == "eeprom_busy_us") {
            if (auto n = check.Number(item, name, 1'000'000))
                d.eepromBusyUs = *n;
        } else if (name == "lose_every") {
            if (auto n = check.Number(item, name, 0xFFFFFFFF))
                d.loseEvery = *n;
        } else if (name == "lose_frames") {
            if (check.Is(item.is_array(), name, "an array")) {
                for (std::size_t i = 0; i < item.size() && check.error.empty(); ++i) {
                    const std::string key = name + "[" + std::to_string(i) + "]";
                    if (auto n = check.Number(item[i], key, 0xFFFFFFFF)) {
                        if (*n == 0)
                            check.Fail(key, "frames are numbered from 1");
                        d.loseFrames.push_back(*n);
                    }
                }
            }
        } else if (name == "silent_after_ms") {
            d.silentAfterMs = check.Number(item, name, kHour);
        } else if (name == "silent_after_frames") {
            if (auto n = check.Number(item, name, 0xFFFFFFFF))
                d.silentAfterFrames = *n;
        } else if (name == "max_openings") {
            d.maxOpenings = check.Number(item, name, kMaxOpeningsLimit);
        } else if (name == "faults") {
            if (check.Is(item.is_array(), name, "an array"))
                d.faultsJson = item.dump();
        } else {
            check.Fail(name, "unknown key");
        }
        if (!check.error.empty())
            return std::unexpected(check.error);
    }
    return d;
}

std::expected<Description, std::string> ReadDescriptionFile(const std::filesystem::path& path) {
    auto bytes = eni::ReadFileBytes(path, kMaxDescriptionBytes);
    if (!bytes)
        return std::unexpected(bytes.error().message);
    auto d = ReadDescriptionText({bytes->data(), bytes->size()});
    if (!d)
        return std::unexpected(path.string() + ": " + d.error());
    return d;
}

}  // namespace parvane::emulator
