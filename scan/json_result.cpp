#include "scan/json_result.h"

#include <nlohmann/json.hpp>

namespace parvane::scan {
namespace {

using Json = nlohmann::ordered_json;

Json TextOrNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

Json PositionJson(const PositionResult& p) {
    Json differences = Json::array();
    for (const FieldDifference& d : p.differences)
        differences.push_back({{"field", d.field}, {"eni", d.eni}, {"found", d.found}});
    return {
        {"position", p.position},
        {"station", p.station},
        {"result", VerdictText(p.verdict)},
        {"eni_name", p.verdict == Verdict::kExtra ? Json(nullptr) : Json(p.eniName)},
        {"found_name", p.verdict == Verdict::kMissing ? Json(nullptr) : Json(p.foundName)},
        {"differences", std::move(differences)},
        {"note", TextOrNull(p.note)},
    };
}

}  // namespace

std::string ComparisonJson(const Comparison& comparison, const ComparedWith& with, int exitStatus) {
    Json result;
    result["tool"] = "parvane-scan";
    result["version"] = PARVANE_VERSION_TEXT;
    result["eni"] = with.eni;
    result["interface"] = TextOrNull(with.interface);
    result["emulated"] = TextOrNull(with.emulated);
    Json positions = Json::array();
    for (const PositionResult& p : comparison.positions)
        positions.push_back(PositionJson(p));
    result["positions"] = std::move(positions);
    result["summary"] = {
        {"positions", comparison.positions.size()},
        {"same", comparison.count(Verdict::kSame)},
        {"different", comparison.count(Verdict::kDifferent)},
        {"missing", comparison.count(Verdict::kMissing)},
        {"extra", comparison.count(Verdict::kExtra)},
    };
    result["verdict"] = comparison.same() ? "same" : "different";
    result["exit_status"] = exitStatus;
    return result.dump(2) + "\n";
}

}  // namespace parvane::scan
