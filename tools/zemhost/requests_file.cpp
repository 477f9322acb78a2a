#include "requests_file.h"

#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "host_error.h"

namespace zemhost {

namespace {

using nlohmann::json;

// A line's content is wrong in a way worth telling the user in their own terms.
struct BadLine {
    std::string what;
};

std::string requiredText(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) throw BadLine{std::string("\"") + key + "\" must be a string"};
    return it->get<std::string>();
}

NameValues pairs(const json& object, const char* key) {
    NameValues entries;
    auto it = object.find(key);
    if (it == object.end()) return entries;
    const std::string expected = std::string("\"") + key + "\" must be a list of [NAME, VALUE] pairs of strings";
    if (!it->is_array()) throw BadLine{expected};
    for (const json& pair : *it) {
        if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string() || !pair[1].is_string())
            throw BadLine{expected};
        entries.emplace_back(pair[0].get<std::string>(), pair[1].get<std::string>());
    }
    return entries;
}

DecisionRequest parseRequest(const std::string& text) {
    json object = json::parse(text);
    if (!object.is_object()) throw BadLine{"expected a JSON object"};
    return {requiredText(object, "resource"), requiredText(object, "operation"), pairs(object, "creds"),
            pairs(object, "context")};
}

bool blank(const std::string& text) { return text.find_first_not_of(" \t\r") == std::string::npos; }

}  // namespace

RequestBatch readRequests(std::istream& in) {
    RequestBatch batch;
    std::string text;
    for (int line = 1; std::getline(in, text); ++line) {
        if (blank(text)) continue;
        try {
            batch.requests.push_back({line, parseRequest(text)});
        } catch (const BadLine& bad) {
            batch.malformed.push_back("line " + std::to_string(line) + ": " + bad.what);
        } catch (const json::exception& e) {
            batch.malformed.push_back("line " + std::to_string(line) + ": not valid JSON: " + e.what());
        }
    }
    return batch;
}

RequestBatch readRequestsFile(const std::string& path) {
    if (path == "-") return readRequests(std::cin);
    std::ifstream in(path);
    if (!in) throw HostError("cannot read " + path);
    return readRequests(in);
}

}  // namespace zemhost
