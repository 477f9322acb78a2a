#include "json_output.h"

#include "outcome.h"

namespace zemhost {

nlohmann::ordered_json resultJson(const DecisionResult& result) {
    nlohmann::ordered_json info = nlohmann::ordered_json::array();
    for (const InfoEntry& entry : result.permissionInfo) {
        nlohmann::ordered_json value;
        std::visit([&value](const auto& v) { value = v; }, entry.value);
        info.push_back({{"name", entry.name}, {"value", value}});
    }
    return {
        {"status", statusHex(result.status)},
        {"major", azn_error_major(result.status)},
        {"minor", azn_error_minor(result.status)},
        {"permission", permissionWord(result.permission)},
        {"permission_info", info},
        {"outcome", outcomeName(classify(result))},
    };
}

std::string jsonLine(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace zemhost
