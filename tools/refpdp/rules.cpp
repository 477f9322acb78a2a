#include "rules.h"

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

namespace refpdp {

namespace {

using nlohmann::json;

constexpr const char* RESOURCE_ID = "urn:oasis:names:tc:xacml:1.0:resource:resource-id";
constexpr const char* ACTION_ID = "urn:oasis:names:tc:xacml:1.0:action:action-id";
constexpr const char* USERNAME = "urn:oxa:security:subject:username";
constexpr const char* GROUPS = "urn:oxa:security:subject:groups";
constexpr const char* GROUP_ID = "urn:oasis:names:tc:xacml:1.0:subject:group-id";
constexpr const char* AUTHENTICATION_LEVEL = "urn:oxa:security:subject:authenticationLevel";

const std::vector<std::string>& valuesOf(const Attributes& attributes, const char* id) {
    static const std::vector<std::string> none;
    auto found = attributes.find(id);
    return found == attributes.end() ? none : found->second;
}

template <typename Predicate>
bool anyValue(const Attributes& attributes, const char* id, Predicate predicate) {
    const std::vector<std::string>& values = valuesOf(attributes, id);
    return std::any_of(values.begin(), values.end(), predicate);
}

bool levelEquals(const std::string& value, long level) {
    try {
        size_t used = 0;
        return std::stol(value, &used) == level && used == value.size();
    } catch (const std::exception&) {
        return false;
    }
}

void checkKeys(const json& object, const std::set<std::string>& allowed, const std::string& where) {
    if (!object.is_object()) throw std::runtime_error(where + " must be an object");
    for (const auto& item : object.items())
        if (!allowed.count(item.key())) throw std::runtime_error(where + ": unknown key \"" + item.key() + "\"");
}

std::optional<std::string> optionalText(const json& object, const char* key) {
    if (!object.contains(key)) return std::nullopt;
    return object.at(key).get<std::string>();
}

std::string checkedEffect(const std::string& effect) {
    static const std::set<std::string> effects{"Permit", "Deny", "NotApplicable", "Indeterminate"};
    if (!effects.count(effect)) throw std::runtime_error("unknown effect \"" + effect + "\"");
    return effect;
}

// Large enough for any answer a client should refuse, small enough to build in memory.
constexpr size_t MAX_PADDING = size_t{256} * 1024 * 1024;

DecisionOutcome decisionOf(const json& rule) {
    DecisionOutcome decision{checkedEffect(rule.at("effect").get<std::string>()), optionalText(rule, "obligation"),
                             rule.value("transaction-id", false), rule.value("padding", size_t{0}),
                             rule.value("chunked", false)};
    if (decision.padding > MAX_PADDING) throw std::runtime_error("padding above " + std::to_string(MAX_PADDING));
    // XACML only attaches obligations to Permit and Deny; the transaction id travels in the obligation.
    bool obligationAllowed = decision.effect == "Permit" || decision.effect == "Deny";
    if (decision.obligation && !obligationAllowed)
        throw std::runtime_error("an obligation needs the effect Permit or Deny");
    if (decision.transactionId && !decision.obligation)
        throw std::runtime_error("a transaction id needs an obligation");
    return decision;
}

Fault faultOf(const json& entry) {
    checkKeys(entry, {"code", "string", "actor", "detail", "detail-xml"}, "fault");
    Fault fault;
    fault.code = entry.value("code", fault.code);
    fault.string = entry.value("string", "");
    fault.actor = entry.value("actor", "");
    fault.detail = entry.value("detail", "");
    fault.detailXml = entry.value("detail-xml", "");
    return fault;
}

Outcome outcomeOf(const json& rule) {
    int kinds = rule.contains("effect") + rule.contains("fault") + rule.contains("body");
    if (kinds != 1) throw std::runtime_error("a rule needs exactly one of \"effect\", \"fault\" and \"body\"");
    if (rule.contains("fault")) return faultOf(rule.at("fault"));
    if (rule.contains("body")) return VerbatimBody{rule.at("body").get<std::string>()};
    return decisionOf(rule);
}

Rule ruleOf(const json& entry) {
    checkKeys(entry,
              {"resource-prefix", "action", "user", "group", "auth-level", "effect", "obligation", "transaction-id",
               "padding", "chunked", "fault", "body"},
              "rule");
    Rule rule{optionalText(entry, "resource-prefix"),
              optionalText(entry, "action"),
              optionalText(entry, "user"),
              optionalText(entry, "group"),
              std::nullopt,
              outcomeOf(entry)};
    if (entry.contains("auth-level")) rule.authLevel = entry.at("auth-level").get<long>();
    return rule;
}

}  // namespace

bool Rule::matches(const Attributes& attributes) const {
    auto equalsTo = [](const std::string& expected) { return [&](const std::string& v) { return v == expected; }; };
    if (resourcePrefix && !anyValue(attributes, RESOURCE_ID, [&](const std::string& v) {
            return v.compare(0, resourcePrefix->size(), *resourcePrefix) == 0;
        }))
        return false;
    if (action && !anyValue(attributes, ACTION_ID, equalsTo(*action))) return false;
    if (user && !anyValue(attributes, USERNAME, equalsTo(*user))) return false;
    if (group && !anyValue(attributes, GROUPS, equalsTo(*group)) && !anyValue(attributes, GROUP_ID, equalsTo(*group)))
        return false;
    if (authLevel &&
        !anyValue(attributes, AUTHENTICATION_LEVEL, [&](const std::string& v) { return levelEquals(v, *authLevel); }))
        return false;
    return true;
}

Rules::Rules() : m_default(DecisionOutcome{"Permit", std::nullopt, false}) {}

Rules Rules::load(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    try {
        json document = json::parse(in);
        checkKeys(document, {"default", "rules"}, "rules file");
        Rules rules;
        rules.m_default =
            DecisionOutcome{checkedEffect(document.value("default", "NotApplicable")), std::nullopt, false};
        for (const json& rule : document.value("rules", json::array())) rules.m_rules.push_back(ruleOf(rule));
        return rules;
    } catch (const std::exception& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

const Outcome& Rules::evaluate(const Attributes& attributes) const {
    for (const Rule& rule : m_rules)
        if (rule.matches(attributes)) return rule.outcome;
    return m_default;
}

}  // namespace refpdp
