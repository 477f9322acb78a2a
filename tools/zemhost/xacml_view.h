// Reading the XACML documents the plug-in exchanged with the PDP, for people.
#pragma once

#include <string>

namespace zemhost {

// The document indented one element per line, or the text unchanged when it is not well-formed XML.
std::string indentedXml(const std::string& text);

// The plug-in traces the content of the XACML Request (its ns1:Subject, Resource, Action and
// Environment elements); the SOAP stub wraps it in this Request element when sending.
std::string requestDocument(const std::string& tracedContent);

}  // namespace zemhost
