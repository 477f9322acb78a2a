// refpdp's SOAP side: reading the XACML 2.0 context Request out of a SOAP 1.1 request, and writing
// SOAP 1.1 answers (an XACML Response, a Fault, or a body given verbatim).
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace refpdp {

// Attribute values of one request, by AttributeId, over all categories (looked up by id, never walked).
using Attributes = std::unordered_map<std::string, std::vector<std::string>>;

struct ParsedRequest {
    bool ok = false;
    bool wellFormed = true;  // false: the body is no well-formed XML (answered as an XACML syntax error)
    Attributes attributes;
    std::string error;  // why the body was refused, when !ok
};

ParsedRequest parseRequest(const std::string& body);

struct Decision {
    std::string effect;  // Permit, Deny, NotApplicable or Indeterminate
    std::optional<std::string> obligation;
    std::optional<std::string> transactionId;
    size_t padding = 0;  // white space before the Result, to make large answers
};

struct Fault {
    std::string code = "soapenv:Server";
    std::string string;
    std::string actor;
    std::string detail;     // text content of <detail>
    std::string detailXml;  // element content of <detail>, written verbatim
};

std::string responseEnvelope(const Decision& decision, const std::string& resourceId);
// The XACML answer to a request document that cannot be read: Indeterminate with the status code
// syntax-error and `reason` as the status message.
std::string syntaxErrorEnvelope(const std::string& reason);
std::string faultEnvelope(const Fault& fault);
std::string verbatimEnvelope(const std::string& bodyContent);

}  // namespace refpdp
