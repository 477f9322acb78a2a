#include "xacml/xacml_fixture.h"

#include <libxml/catalog.h>
#include <libxml/parser.h>
#include <libxml/xmlIO.h>
#include <libxml/xmlschemas.h>

#include <filesystem>

#include "nvwsoap/nvwsoap.h"
#include "qzsvc/qzsvc.h"

namespace xacml_test {

kova_test::TempDir& runDir() {
    static kova_test::TempDir dir;
    return dir;
}
std::string messagesPath() { return runDir().file("messages.log"); }
std::string tracePath() { return runDir().file("trace.log"); }

namespace {

void startTrace(int level) {
    kova_trace.shutdown();
    zem_trace_configure(level, tracePath().c_str());
    kova_trace.initialize("xacml-test");
}

// The catalogue is registered and traced at the deepest level, so every trace line is formatted.
class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        kova_svc = new KOVAServiceability(KOVA_VERSION_TEXT);
        qz_msg_set_output(messagesPath().c_str());
        startTrace(9);
    }
    void TearDown() override {
        kova_trace.shutdown();
        qz_msg_set_output(nullptr);
        delete kova_svc;
        kova_svc = nullptr;
    }
};

[[maybe_unused]] ::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new Environment);

std::size_t fileSize(const std::string& path) {
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<std::size_t>(size);
}

}  // namespace

FileTail::FileTail(std::string path) : m_path(std::move(path)), m_start(fileSize(m_path)) {}

std::string FileTail::text() const { return kova_test::readFile(m_path).substr(m_start); }

TraceLevel::TraceLevel(int level) { startTrace(level); }
TraceLevel::~TraceLevel() { startTrace(9); }

Config::Config(const std::string& text) : m_path(m_dir.file("webseald.conf")), m_previous(kova_config) {
    kova_test::writeFile(m_path, text);
    m_config = std::make_unique<KOVAConfig>(m_path.c_str());
    kova_config = m_config.get();
}

Config::~Config() { kova_config = m_previous; }

const char* const REQUEST_CONFIG = R"([azn-decision-info]
referer = header:Referer
x-level = header:X-Level
odd = header:Odd

[obligations-levels-mapping]
otp = 2

[user-attribute-definitions]
referer.category = Resource
x-level.datatype = integer
x-level.category = Subject
odd.category = Nowhere
)";

std::string element(const std::string& id, std::initializer_list<std::string> values, const std::string& dataType) {
    std::string text = "<ns1:Attribute AttributeId=\"" + id + "\" DataType=\"" + dataType + "\">";
    for (const std::string& value : values) text += "<ns1:AttributeValue>" + value + "</ns1:AttributeValue>";
    return text + "</ns1:Attribute>";
}

KOVAData makeData(KOVADataList http, KOVADataList creds) {
    KOVAData data;
    data.HTTPInfo = std::move(http);
    data.creds = std::move(creds);
    return data;
}

std::string documentOf(KOVARequest& request) {
    const orbsec_axiscpp::AnyType* fragments = request.getRequestFragments();
    std::string document;
    for (int i = 0; i < fragments->_size; ++i) document += fragments->_array[i];
    return document;
}

namespace {

void collectProblem(void* context, const char* format, ...) {
    va_list args;
    va_start(args, format);
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    *static_cast<std::string*>(context) += text;
}

// The context schema, parsed once; it imports the policy schema through the folder's catalog.
xmlSchemaPtr contextSchema() {
    static xmlSchemaPtr schema = [] {
        std::string dir = kova_test::xacmlDir();
        xmlLoadCatalog((dir + "/catalog.xml").c_str());
        xmlSetExternalEntityLoader(xmlNoNetExternalEntityLoader);
        xmlSchemaParserCtxtPtr parser =
            xmlSchemaNewParserCtxt((dir + "/access_control-xacml-2.0-context-schema-os.xsd").c_str());
        xmlSchemaPtr parsed = xmlSchemaParse(parser);
        xmlSchemaFreeParserCtxt(parser);
        return parsed;
    }();
    return schema;
}

}  // namespace

std::string schemaProblems(const std::string& document) {
    std::string wrapped =
        "<ns1:Request xmlns:ns1=\"urn:oasis:names:tc:xacml:2.0:context:schema:os\">" + document + "</ns1:Request>";
    std::string problems;
    xmlSetGenericErrorFunc(&problems, collectProblem);
    xmlDocPtr parsed =
        xmlReadMemory(wrapped.data(), static_cast<int>(wrapped.size()), "request.xml", nullptr, XML_PARSE_NONET);
    if (!parsed) {
        xmlSetGenericErrorFunc(nullptr, nullptr);
        return problems.empty() ? "not well-formed" : problems;
    }
    if (!kova_test::xacmlDir().empty()) {
        xmlSchemaPtr schema = contextSchema();
        if (!schema) {
            problems += "the XACML context schema does not load";
        } else {
            xmlSchemaValidCtxtPtr validator = xmlSchemaNewValidCtxt(schema);
            xmlSchemaSetValidErrors(validator, collectProblem, collectProblem, &problems);
            if (xmlSchemaValidateDoc(validator, parsed) != 0 && problems.empty()) problems = "not valid";
            xmlSchemaFreeValidCtxt(validator);
        }
    }
    xmlFreeDoc(parsed);
    xmlSetGenericErrorFunc(nullptr, nullptr);
    return problems;
}

}  // namespace xacml_test
