#include "emulator/description.h"

#include <nlohmann/json.hpp>
#include <string>

#include "eni/file_bytes.h"
#include "eni/number_text.h"

namespace parvane::emulator {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxDescriptionBytes = std::size_t{16} << 20;
constexpr std::uint32_t kHour = 3'600'000;
constexpr double kMaxDriftPpm = 1000;
constexpr std::uint32_t kMaxDelayNs = 1'000'000;

struct OperationName {
    const char* name;
    DriverOperation op;
};

constexpr OperationName kOperations[] = {
    {"MasterOpen", DriverOperation::kOpen},
    {"MasterGetEniSlaveCount", DriverOperation::kGetEniSlaveCount},
    {"MasterGetOnlineSlaveCount", DriverOperation::kGetOnlineSlaveCount},
    {"MasterGetSlaveInfo", DriverOperation::kGetSlaveInfo},
    {"MasterReadSlaveEeprom", DriverOperation::kReadSlaveEeprom},
    {"MasterRequestState", DriverOperation::kRequestState},
    {"MasterGetState", DriverOperation::kGetState},
};

// Walks the document; the first problem found is kept, naming the key.
class Checker {
  public:
    Error error;

    bool failed() const { return !error.message.empty(); }

    // An unsigned number up to `max`: a JSON number or "0x" hexadecimal text.
    std::optional<std::uint32_t> Number(const json& value, const std::string& key,
                                        std::uint32_t max) {
        std::optional<std::uint64_t> number;
        if (value.is_number_unsigned()) {
            number = value.get<std::uint64_t>();
        } else if (value.is_number_integer()) {
            return Fail(key, "must not be negative");
        } else if (value.is_string()) {
            number = eni::ParseHexText(value.get_ref<const std::string&>());
        }
        if (!number)
            return Fail(key, "expected a number or a \"0x\" hexadecimal text");
        if (*number > max)
            return Fail(key, "larger than " + std::to_string(max));
        return static_cast<std::uint32_t>(*number);
    }

    // A number of any sign, with a fraction, within +-limit.
    std::optional<double> Real(const json& value, const std::string& key, double limit) {
        if (!value.is_number())
            return Fail(key, "expected a number");
        const double number = value.get<double>();
        if (number < -limit || number > limit)
            return Fail(key, "beyond +-" + std::to_string(static_cast<long>(limit)));
        return number;
    }

    // An unsigned 64-bit JSON number or "0x" hexadecimal text.
    std::optional<std::uint64_t> Number64(const json& value, const std::string& key) {
        if (value.is_number_unsigned())
            return value.get<std::uint64_t>();
        if (value.is_string()) {
            if (auto n = eni::ParseHexText(value.get_ref<const std::string&>()))
                return *n;
        }
        return Fail(key, "expected a number or a \"0x\" hexadecimal text");
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
        if (!failed())
            error = {key + ": " + why, key};
        return std::nullopt;
    }
};

// Each element of an array through `read`, with its index in the key path.
template <typename Read>
void EachElement(Checker& check, const json& array, const std::string& key, Read read) {
    for (std::size_t i = 0; i < array.size() && !check.failed(); ++i)
        read(array[i], key + "[" + std::to_string(i) + "]");
}

// "pdo_defaults": {"outputs": [PDO, ...], "inputs": [...]}, each optional.
void ReadPdoDefaults(Checker& check, const json& value, const std::string& key,
                     DescribedSlave& slave) {
    if (!check.Is(value.is_object(), key, "an object"))
        return;
    for (const auto& [name, item] : value.items()) {
        const std::string itemKey = key + "." + name;
        auto& pdos = name == "outputs" ? slave.outputPdos : slave.inputPdos;
        if (name != "outputs" && name != "inputs") {
            check.Fail(itemKey, "unknown key");
        } else if (item.size() > 0xFE) {
            check.Fail(itemKey, "more than 254 PDOs");
        } else if (check.Is(item.is_array(), itemKey, "an array")) {
            pdos.emplace();
            EachElement(check, item, itemKey, [&](const json& element, const std::string& at) {
                if (auto n = check.Number(element, at, 0xFFFF))
                    pdos->push_back(static_cast<std::uint16_t>(*n));
            });
        }
        if (check.failed())
            return;
    }
}

// One of a slave's DC keys.
void ReadSlaveDc(Checker& check, const std::string& name, const json& item,
                 const std::string& itemKey, DescribedSlave& slave) {
    if (name == "dc_drift_ppm") {
        slave.dcDriftPpm = check.Real(item, itemKey, kMaxDriftPpm);
    } else if (name == "dc_start_ns") {
        slave.dcStartNs = check.Number64(item, itemKey);
    } else if (name == "dc_forward_ns") {
        slave.dcForwardNs = check.Number(item, itemKey, kMaxDelayNs);
    } else if (name == "dc_cable_ns") {
        slave.dcCableNs = check.Number(item, itemKey, kMaxDelayNs);
    } else if (name == "dc_tolerance_ns") {
        slave.dcToleranceNs = check.Number(item, itemKey, 0x7FFFFFFF);
    } else if (name == "dc_32bit") {
        if (auto b = check.Bool(item, itemKey))
            slave.dc32Bit = *b;
    } else if (name == "sync0_stops_after_ms") {
        slave.sync0StopsAfterMs = check.Number(item, itemKey, kHour);
    } else {
        check.Fail(itemKey, "unknown key");
    }
}

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
        } else if (name == "pdo_defaults") {
            ReadPdoDefaults(check, item, itemKey, slave);
        } else if (name.starts_with("dc_") || name.starts_with("sync0_")) {
            ReadSlaveDc(check, name, item, itemKey, slave);
        } else {
            check.Fail(itemKey, "unknown key");
        }
        if (check.failed())
            return std::nullopt;
    }
    return slave;
}

// One fault: "op" and "status" are required, and "position", "offset" and
// "state" only where the operation has them.
std::optional<DriverFault> ReadFault(Checker& check, const json& value, const std::string& key) {
    if (!check.Is(value.is_object(), key, "an object"))
        return std::nullopt;
    if (!value.contains("op"))
        return check.Fail(key + ".op", "missing");
    if (!value.contains("status"))
        return check.Fail(key + ".status", "missing");
    const json& op = value["op"];
    const OperationName* found = nullptr;
    for (const OperationName& candidate : kOperations) {
        if (op.is_string() && op.get_ref<const std::string&>() == candidate.name)
            found = &candidate;
    }
    if (found == nullptr)
        return check.Fail(key + ".op", "not an operation that can fail");
    DriverFault fault;
    fault.op = found->op;
    // Whether the operation has `what`; a refusal names the key otherwise.
    auto applies = [&](bool has, const std::string& itemKey) {
        if (!has)
            check.Fail(itemKey, std::string("does not apply to ") + found->name);
        return has;
    };
    const bool perSlave =
        fault.op == DriverOperation::kGetSlaveInfo || fault.op == DriverOperation::kReadSlaveEeprom;
    for (const auto& [name, item] : value.items()) {
        const std::string itemKey = key + "." + name;
        if (name == "op")
            continue;
        if (name == "status") {
            if (auto status = check.Number(item, itemKey, 0xFFFF))
                fault.status = static_cast<std::uint16_t>(*status);
        } else if (name == "times") {
            fault.times = check.Number(item, itemKey, 0xFFFFFFFF);
        } else if (name == "position") {
            if (!applies(perSlave, itemKey))
                return std::nullopt;
            if (auto n = check.Number(item, itemKey, 0xFFFF))
                fault.position = static_cast<std::uint16_t>(*n);
        } else if (name == "offset") {
            if (!applies(fault.op == DriverOperation::kReadSlaveEeprom, itemKey))
                return std::nullopt;
            if (auto n = check.Number(item, itemKey, 0xFFFF))
                fault.offset = static_cast<std::uint16_t>(*n);
        } else if (name == "state") {
            if (!applies(fault.op == DriverOperation::kRequestState, itemKey))
                return std::nullopt;
            fault.state = check.State(item, itemKey);
        } else {
            check.Fail(itemKey, "unknown key");
        }
        if (check.failed())
            return std::nullopt;
    }
    return fault;
}

// One top-level key into `d`.
void ReadKey(Checker& check, Description& d, const std::string& name, const json& item) {
    if (name == "slaves") {
        if (!check.Is(item.is_array(), name, "an array")) {
        } else if (item.size() > 0xFFFF) {
            check.Fail(name, "more than 65535 slaves");
        } else {
            d.slaves.emplace();
            EachElement(check, item, name, [&](const json& element, const std::string& key) {
                if (auto slave = ReadSlave(check, element, key))
                    d.slaves->push_back(*slave);
            });
        }
    } else if (name == "transition_ms") {
        if (auto n = check.Number(item, name, kHour))
            d.transitionMs = *n;
    } else if (name == "eeprom_busy_us") {
        if (auto n = check.Number(item, name, 1'000'000))
            d.eepromBusyUs = *n;
    } else if (name == "dc_drift_spread_ppm") {
        if (auto n = check.Real(item, name, kMaxDriftPpm)) {
            if (*n < 0)
                check.Fail(name, "must not be negative");
            d.dcDriftSpreadPpm = *n;
        }
    } else if (name == "dc_sync_checks") {
        if (auto b = check.Bool(item, name))
            d.dcSyncChecks = *b;
    } else if (name == "dc_seed") {
        if (auto n = check.Number(item, name, 0xFFFFFFFF))
            d.dcSeed = *n;
    } else if (name == "lose_every") {
        if (auto n = check.Number(item, name, 0xFFFFFFFF))
            d.loseEvery = *n;
    } else if (name == "lose_frames") {
        if (check.Is(item.is_array(), name, "an array")) {
            EachElement(check, item, name, [&](const json& element, const std::string& key) {
                auto n = check.Number(element, key, 0xFFFFFFFF);
                if (n && *n == 0)
                    check.Fail(key, "frames are numbered from 1");
                if (n)
                    d.loseFrames.push_back(*n);
            });
        }
    } else if (name == "silent_after_ms") {
        d.silentAfterMs = check.Number(item, name, kHour);
    } else if (name == "silent_after_frames") {
        if (auto n = check.Number(item, name, 0xFFFFFFFF))
            d.silentAfterFrames = *n;
    } else if (name == "max_openings") {
        if (auto n = check.Number(item, name, kMaxOpeningsLimit))
            d.maxOpenings = *n;
    } else if (name == "faults") {
        if (check.Is(item.is_array(), name, "an array")) {
            EachElement(check, item, name, [&](const json& element, const std::string& key) {
                if (auto fault = ReadFault(check, element, key))
                    d.faults.push_back(*fault);
            });
        }
    } else {
        check.Fail(name, "unknown key");
    }
}

}  // namespace

std::expected<Description, Error> ReadDescriptionText(std::string_view text) {
    json document;
    try {
        document = json::parse(text.begin(), text.end(), nullptr, true, true);
    } catch (const json::exception& e) {
        return std::unexpected(Error{std::string("JSON parse error: ") + e.what(), ""});
    }
    Checker check;
    if (!check.Is(document.is_object(), "(top level)", "an object"))
        return std::unexpected(std::move(check.error));
    Description d;
    for (const auto& [name, item] : document.items()) {
        ReadKey(check, d, name, item);
        if (check.failed())
            return std::unexpected(std::move(check.error));
    }
    return d;
}

std::expected<Description, Error> ReadDescriptionFile(const std::filesystem::path& path) {
    auto bytes = eni::ReadFileBytes(path, kMaxDescriptionBytes);
    if (!bytes)
        return std::unexpected(Error{std::move(bytes.error().message), path.string()});
    auto d = ReadDescriptionText({bytes->data(), bytes->size()});
    if (!d) {
        Error& error = d.error();
        error.message = path.string() + ": " + error.message;
        if (error.where.empty())
            error.where = path.string();
    }
    return d;
}

}  // namespace parvane::emulator
