// refpdp's SOAP side: reading the XACML 2.0 context Request out of a SOAP 1.1 request, and writing
// SOAP 1.1 answers (an XACML Response, a Fault, or a body given verbatim).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace refpdp {

// Attribute values of one request, by AttributeId, over all categories.
using Attributes = std::map<std::string, std::vector<std::string>>;

struct ParsedRequest {
    bool ok = false;
    Attributes attributes;
    std::string error;   // why the body was refused, when !ok
};

ParsedRequest parseRequest(const std::string& body);

struct Decision {
    std::string effect;                    // Permit, Deny, NotApplicable or Indeterminate
    std::optional<std::string> obligation;
    std::optional<std::string> transactionId;
};

struct Fault {
    std::string code = "soapenv:Server";
    std::string string;
    std::string actor;
    std::string detail;      // text content of <detail>
    std::string detailXml;   // element content of <detail>, written verbatim
};

std::string responseEnvelope(const Decision& decision, const std::string& resourceId);
std::string faultEnvelope(const Fault& fault);
std::string verbatimEnvelope(const std::string& bodyContent);

}  // namespace refpdp
