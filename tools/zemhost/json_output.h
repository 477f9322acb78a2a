// The JSON form of a decision's answer, shared by `decide --json`, `run` and the demo.
#pragma once

#include <nlohmann/json.hpp>

#include "decision.h"

namespace zemhost {

// {"status": "0x...", "major": N, "minor": N, "permission": "AZN_C_...",
//  "permission_info": [{"name": ..., "value": ...}], "outcome": "..."}
// Unsigned-long values are JSON numbers, texts are strings.
nlohmann::ordered_json resultJson(const DecisionResult& result);
// One line of JSON; bytes that are not UTF-8 (texts come from the PDP and the configuration) are
// replaced rather than failing the output.
std::string jsonLine(const nlohmann::ordered_json& value);

}  // namespace zemhost
