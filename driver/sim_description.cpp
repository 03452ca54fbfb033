#include "driver/sim_description.h"

#include <nlohmann/json.hpp>

#include "emulator/description.h"
#include "eni/file_bytes.h"

namespace parvane::driver {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxSimBytes = std::size_t{16} << 20;

struct OpName {
    const char* name;
    MasterExport op;
};

constexpr OpName kFaultOps[] = {
    {"MasterOpen", MasterExport::Open},
    {"MasterGetEniSlaveCount", MasterExport::GetEniSlaveCount},
    {"MasterGetOnlineSlaveCount", MasterExport::GetOnlineSlaveCount},
    {"MasterGetSlaveInfo", MasterExport::GetSlaveInfo},
    {"MasterReadSlaveEeprom", MasterExport::ReadSlaveEeprom},
    {"MasterRequestState", MasterExport::RequestState},
    {"MasterGetState", MasterExport::GetState},
};

// Walks the document; the first problem found is kept in `error`, naming the
// key by its path ("faults[2].state").
class Checker {
  public:
    Error error;

    bool failed() const { return !error.message.empty(); }

    // An unsigned number up to `max`, given as a JSON number or "0x" text.
    std::optional<std::uint32_t> Number(const json& value, const std::string& key,
                                        std::uint32_t max) {
        auto number = emulator::DescriptionNumber(value, max);
        if (!number)
            return Fail(key, number.error());
        return *number;
    }

    std::optional<std::uint16_t> State(const json& value, const std::string& key) {
        auto number = Number(value, key, 0xFFFF);
        if (!number)
            return std::nullopt;
        if (!ecat::IsNetworkState(*number))
            return Fail(key, "expected a state: 1, 2, 4 or 8");
        return static_cast<std::uint16_t>(*number);
    }

    bool Object(const json& value, const std::string& key) {
        if (value.is_object())
            return true;
        Fail(key, "expected an object");
        return false;
    }

    std::nullopt_t Fail(const std::string& key, const std::string& why) {
        if (!failed())
            error = {key + ": " + why, key};
        return std::nullopt;
    }
};

std::optional<SimSlave> ReadSlave(Checker& check, const json& value, const std::string& key) {
    if (!check.Object(value, key))
        return std::nullopt;
    SimSlave slave;
    for (const auto& [name, item] : value.items()) {
        std::string itemKey = key + "." + name;
        if (name == "vendor_id") {
            slave.vendorId = check.Number(item, itemKey, 0xFFFFFFFF);
        } else if (name == "product_code") {
            slave.productCode = check.Number(item, itemKey, 0xFFFFFFFF);
        } else if (name == "revision_no") {
            slave.revisionNo = check.Number(item, itemKey, 0xFFFFFFFF);
        } else if (name == "max_state") {
            if (auto state = check.State(item, itemKey))
                slave.maxState = static_cast<ecat::AlState>(*state);
        } else {
            check.Fail(itemKey, "unknown key");
        }
        if (check.failed())
            return std::nullopt;
    }
    return slave;
}

std::optional<FaultRule> ReadFault(Checker& check, const json& value, const std::string& key) {
    if (!check.Object(value, key))
        return std::nullopt;
    if (!value.contains("op"))
        return check.Fail(key + ".op", "missing");
    if (!value.contains("status"))
        return check.Fail(key + ".status", "missing");
    FaultRule rule;
    const json& op = value["op"];
    const OpName* found = nullptr;
    if (op.is_string()) {
        for (const OpName& candidate : kFaultOps) {
            if (op.get_ref<const std::string&>() == candidate.name)
                found = &candidate;
        }
    }
    if (found == nullptr)
        return check.Fail(key + ".op", "not an operation that can fail");
    rule.op = found->op;
    for (const auto& [name, item] : value.items()) {
        std::string itemKey = key + "." + name;
        if (name == "op")
            continue;
        if (name == "status") {
            if (auto status = check.Number(item, itemKey, 0xFFFF))
                rule.status = *status;
        } else if (name == "times") {
            rule.times = check.Number(item, itemKey, 0xFFFFFFFF);
        } else if (name == "position") {
            if (rule.op != MasterExport::GetSlaveInfo && rule.op != MasterExport::ReadSlaveEeprom) {
                return check.Fail(itemKey, std::string("does not apply to ") + found->name);
            }
            if (auto n = check.Number(item, itemKey, 0xFFFF))
                rule.position = *n;
        } else if (name == "offset") {
            if (rule.op != MasterExport::ReadSlaveEeprom) {
                return check.Fail(itemKey, std::string("does not apply to ") + found->name);
            }
            if (auto n = check.Number(item, itemKey, 0xFFFF))
                rule.offset = *n;
        } else if (name == "state") {
            if (rule.op != MasterExport::RequestState) {
                return check.Fail(itemKey, std::string("does not apply to ") + found->name);
            }
            rule.state = check.State(item, itemKey);
        } else {
            check.Fail(itemKey, "unknown key");
        }
        if (check.failed())
            return std::nullopt;
    }
    return rule;
}

}  // namespace

std::expected<SimDescription, Error> ReadSimText(std::string_view text) {
    SimDescription description;
    json document;
    try {
        document = json::parse(text.begin(), text.end(), nullptr, true, true);
    } catch (const json::exception& e) {
        return std::unexpected(Error{std::string("JSON parse error: ") + e.what(), ""});
    }
    Checker check;
    if (!check.Object(document, "(top level)"))
        return std::unexpected(std::move(check.error));
    for (const auto& [name, item] : document.items()) {
        if (name == "slaves") {
            if (!item.is_array()) {
                check.Fail(name, "expected an array");
            } else if (item.size() > 0xFFFF) {
                check.Fail(name, "more than 65535 slaves");
            } else {
                std::vector<SimSlave> slaves;
                for (std::size_t i = 0; i < item.size() && !check.failed(); ++i) {
                    auto slave = ReadSlave(check, item[i], "slaves[" + std::to_string(i) + "]");
                    if (slave)
                        slaves.push_back(*slave);
                }
                description.slaves = std::move(slaves);
            }
        } else if (name == "transition_ms") {
            if (auto n = check.Number(item, name, 3600000))
                description.transitionMs = *n;
        } else if (name == "max_openings") {
            if (auto n = check.Number(item, name, kMaxOpeningsLimit))
                description.maxOpenings = *n;
        } else if (name == "faults") {
            if (!item.is_array()) {
                check.Fail(name, "expected an array");
            } else {
                for (std::size_t i = 0; i < item.size() && !check.failed(); ++i) {
                    auto rule = ReadFault(check, item[i], "faults[" + std::to_string(i) + "]");
                    if (rule)
                        description.faults.push_back(*rule);
                }
            }
        } else {
            check.Fail(name, "unknown key");
        }
        if (check.failed())
            return std::unexpected(std::move(check.error));
    }
    return description;
}

std::expected<SimDescription, Error> ReadSimFile(const std::filesystem::path& path) {
    auto bytes = eni::ReadFileBytes(path, kMaxSimBytes);
    if (!bytes)
        return std::unexpected(Error{std::move(bytes.error().message), path.string()});
    return ReadSimText({bytes->data(), bytes->size()});
}

}  // namespace parvane::driver
