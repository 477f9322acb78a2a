#include "xacml_view.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>

#include <memory>

namespace zemhost {

namespace {

const char* const XACML_CONTEXT_NS = "urn:oasis:names:tc:xacml:2.0:context:schema:os";

using Document = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

Document parse(const std::string& text) {
    return Document(xmlReadMemory(text.data(), static_cast<int>(text.size()), "xacml.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS),
                    xmlFreeDoc);
}

}  // namespace

std::string indentedXml(const std::string& text) {
    Document document = parse(text);
    if (!document) return text;
    std::unique_ptr<xmlBuffer, decltype(&xmlBufferFree)> buffer(xmlBufferCreate(), xmlBufferFree);
    xmlSaveCtxtPtr save = xmlSaveToBuffer(buffer.get(), "UTF-8", XML_SAVE_FORMAT | XML_SAVE_NO_DECL);
    xmlSaveDoc(save, document.get());
    xmlSaveClose(save);
    std::string indented = reinterpret_cast<const char*>(xmlBufferContent(buffer.get()));
    while (!indented.empty() && indented.back() == '\n') indented.pop_back();
    return indented;
}

std::string requestDocument(const std::string& tracedContent) {
    return std::string("<ns1:Request xmlns:ns1=\"") + XACML_CONTEXT_NS + "\">" + tracedContent + "</ns1:Request>";
}

}  // namespace zemhost
