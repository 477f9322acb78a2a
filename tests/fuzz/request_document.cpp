// One decision's data copy (KOVAData::createData through loadData) and request document
// (KOVARequest::formatRequest) from arbitrary attribute names and values and an arbitrary mapping
// configuration. Input, in lines:
//
//   the configuration file text (stanzas azn-decision-info, obligations-levels-mapping,
//   user-attribute-definitions, ...), then a line "----", then
//   ctx NAME=VALUE        an application-context entry
//   cred NAME=VALUE       a credential attribute
//   option real-client-ip / option old-ids
//   option trace          trace at the deepest level (costly, so only for inputs that ask)
//   fail OPERATION=N      the framework operation fails once after N calls (createData's failure paths)
//
// Properties, whenever the input is valid UTF-8 made only of characters XML allows: the document the
// request forms, inside a Request element binding ns1, is well-formed XML; and, unless a framework call
// was made to fail, every credential value reads back from some AttributeValue unchanged (escaping loses
// nothing). The texts the plug-in writes unescaped by design (server name, version, resource, inherited
// POP, context id, the network address, the registry and group names) are kept free of markup
// characters here.
#include <libxml/parser.h>

#include <cstring>
#include <functional>
#include <set>

#include "fuzz/fuzz_support.h"
#include "rba/KOVAConfig.h"
#include "rba/KOVAData.h"
#include "rba/KOVARequest.h"

namespace {

struct Decision {
    std::vector<std::pair<std::string, std::string>> context, creds;
    bool realClientIP = false, oldIDs = false, trace = false, failures = false;
};

std::pair<std::string, std::string> nameAndValue(const std::string& text) {
    size_t equals = text.find('=');
    if (equals == std::string::npos) return {text, ""};
    return {text.substr(0, equals), text.substr(equals + 1)};
}

void readLine(const std::string& line, Decision& decision) {
    auto argument = [&](const char* word) -> const char* {
        size_t length = std::strlen(word);
        return line.compare(0, length, word) == 0 ? line.c_str() + length : nullptr;
    };
    if (const char* rest = argument("ctx ")) {
        decision.context.push_back(nameAndValue(rest));
    } else if (const char* rest = argument("cred ")) {
        decision.creds.push_back(nameAndValue(rest));
    } else if (line == "option real-client-ip") {
        decision.realClientIP = true;
    } else if (line == "option old-ids") {
        decision.oldIDs = true;
    } else if (line == "option trace") {
        decision.trace = true;
    } else if (const char* rest = argument("fail ")) {
        auto [operation, after] = nameAndValue(rest);
        decision.failures = true;
        zem_fail_calls(operation.c_str(), static_cast<int>(std::strtoul(after.c_str(), nullptr, 10) % 64), 1);
    }
}

// Splits the input at its line "----" into the configuration text and the decision's lines.
std::string readInput(const std::string& input, Decision& decision) {
    size_t separator = ("\n" + input).find("\n----\n");  // where the "----" line starts in `input`
    if (separator == std::string::npos) return input;
    for (size_t start = separator + 5, end; start < input.size(); start = end + 1) {
        end = std::min(input.find('\n', start), input.size());
        readLine(input.substr(start, end - start), decision);
    }
    return input.substr(0, separator);
}

// Markup characters would end an unescaped text's element early; they become '_'.
std::string withoutMarkup(std::string text) {
    constexpr std::string_view markup = "<>&\"'";
    for (char& c : text)
        if (markup.find(c) != markup.npos) c = '_';
    return text;
}

// The credentials and the application-context key whose values the plug-in writes unescaped.
bool writtenRaw(const std::string& credName) {
    return credName == "AZN_CRED_NETWORK_ADDRESS_STR" || credName == "AZN_CRED_REGISTRY_ID" ||
           credName == "AZN_CRED_GROUP_REGISTRY_IDS";
}

bool carriesClientIP(const KOVAConfig& config, const std::string& key) {
    auto header = config.appContextToHeader.find(key);
    return header != config.appContextToHeader.end() && header->second == "client_ip";
}

azn_attrlist_h_t attributeList(const std::vector<std::pair<std::string, std::string>>& entries,
                               const std::function<bool(const std::string&)>& raw) {
    azn_attrlist_h_t list = 0;
    azn_attrlist_create(&list);
    for (const auto& [name, value] : entries)
        azn_attrlist_add_entry(list, name.c_str(), (raw(name) ? withoutMarkup(value) : value).c_str());
    return list;
}

// Decodes one UTF-8 sequence at `at`; false when it is malformed, overlong, a surrogate or too large.
bool nextCodePoint(const std::string& text, size_t& at, uint32_t& code) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    int extra = lead < 0x80             ? 0
                : (lead & 0xE0) == 0xC0 ? 1
                : (lead & 0xF0) == 0xE0 ? 2
                : (lead & 0xF8) == 0xF0 ? 3
                                        : -1;
    if (extra < 0 || at + extra >= text.size()) return false;
    code = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int i = 1; i <= extra; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return false;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    static constexpr uint32_t SMALLEST[] = {0, 0x80, 0x800, 0x10000};
    at += extra + 1;
    return code >= SMALLEST[extra] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
}

bool xmlCharacter(uint32_t code) {
    return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
           (code >= 0xE000 && code <= 0xFFFD) || code >= 0x10000;
}

bool xmlSafe(const std::string& text) {
    uint32_t code = 0;
    for (size_t at = 0; at < text.size();)
        if (!nextCodePoint(text, at, code) || !xmlCharacter(code)) return false;
    return true;
}

std::string documentOf(KOVARequest& request) {
    std::string document = "<ns1:Request xmlns:ns1=\"urn:oasis:names:tc:xacml:2.0:context:schema:os\">";
    orbsec_axiscpp::AnyType* fragments = request.getRequestFragments();
    for (int i = 0; i < fragments->_size; ++i) document += fragments->_array[i];
    return document + "</ns1:Request>";
}

// The texts of the AttributeValue elements under `node`.
void collectValues(xmlNodePtr node, std::set<std::string>& values) {
    for (; node; node = node->next) {
        if (node->type != XML_ELEMENT_NODE) continue;
        if (std::strcmp(reinterpret_cast<const char*>(node->name), "AttributeValue") == 0) {
            xmlChar* text = xmlNodeGetContent(node);
            values.insert(text ? reinterpret_cast<const char*>(text) : "");
            xmlFree(text);
        }
        collectValues(node->children, values);
    }
}

// Parses the document; the texts of its AttributeValue elements.
std::set<std::string> wellFormedValues(const std::string& document) {
    xmlDocPtr doc = xmlReadMemory(document.data(), static_cast<int>(document.size()), "request.xml", "UTF-8",
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) kova_fuzz::broken("request document is not well-formed XML", document);
    std::set<std::string> values;
    collectValues(xmlDocGetRootElement(doc), values);
    xmlFreeDoc(doc);
    return values;
}

// Credentials that reach the document other than as their own escaped value: the raw ones were changed
// here (and the network address may be replaced by the client address), the POP attributes are not
// copied, and values of the multi-valued subject attributes are split at commas.
bool writtenAsGiven(const std::string& credName) {
    static const std::set<std::string> otherwise = {
        "AZN_EAS_POP_ATTRS_ATTRIBUTE",  "AZN_EAS_POP_ATTACHMENT_ATTRIBUTE",
        "authenticationTypes",          "urn:oxa:security:subject:authenticationTypes",
        "authenticationMechanismTypes", "urn:oxa:security:subject:authenticationMechanismTypes"};
    return !writtenRaw(credName) && !otherwise.count(credName);
}

// A parser reads every line end as a line feed.
std::string asParsed(std::string text) {
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    for (char& c : text)
        if (c == '\r') c = '\n';
    return text;
}

void checkDocument(const std::string& document, const Decision& decision) {
    std::set<std::string> values = wellFormedValues(document);
    if (decision.failures) return;
    for (const auto& [name, value] : decision.creds)
        if (writtenAsGiven(name) && !values.count(asParsed(value)))
            kova_fuzz::broken("credential value lost or changed in the document", name + "=" + value + "\n" + document);
}

void decide(const KOVAConfig& config, const Decision& decision, bool xmlInput) {
    azn_attrlist_h_t context =
        attributeList(decision.context, [&](const std::string& key) { return carriesClientIP(config, key); });
    azn_attrlist_h_t creds = attributeList(decision.creds, writtenRaw);
    KOVAData data;
    try {
        data.loadData(creds, context);
        KOVARequest request("corvane-inst1", "10.0.6", "corvane-inst1", "/app/index.html", "read", "/Corvane/pop");
        KOVAAuditFields audit;
        if (request.formatRequest(data, &audit, decision.realClientIP, decision.oldIDs) == 0 && xmlInput)
            checkDocument(documentOf(request), decision);
        (void)kova_audit_record(audit);
    } catch (const HeaderNameMissingException&) {
        // An application-context key without a header name ends the decision.
    }
    azn_attrlist_delete(&context);
    azn_attrlist_delete(&creds);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kova_fuzz::quietHost();
    xmlInitParser();
    kova_fuzz::configPath();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    Decision decision;
    kova_fuzz::writeConfig(readInput(input, decision));
    kova_fuzz::traceAt(decision.trace ? 9 : 0);
    try {
        KOVAConfig config(kova_fuzz::configPath().c_str());
        kova_config = &config;
        decide(config, decision, xmlSafe(input));
    } catch (const KOVAException&) {
        // A level beyond 32 bits abandons the configuration: the plug-in would not start.
    }
    kova_config = nullptr;
    zem_clear_failures();
    return 0;
}
