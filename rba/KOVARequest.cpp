// The request document's fixed fragments, its assembly, and the text primitives of every attribute.
#include "rba/KOVARequest.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

static constexpr const char* KOVA_UNIT = "rba/KOVARequest";

namespace {

// Joins string literals at compile time, so that the fixed fragments are static text.
template <std::size_t... N>
constexpr std::array<char, (N + ...) - sizeof...(N) + 1> join(const char (&... parts)[N]) {
    std::array<char, (N + ...) - sizeof...(N) + 1> out{};
    std::size_t at = 0;
    ((std::copy_n(parts, N - 1, out.begin() + at), at += N - 1), ...);
    return out;
}

constexpr char VALUE_START[] = "<ns1:AttributeValue>";
constexpr char VALUE_END[] = "</ns1:AttributeValue>";
constexpr char ATTRIBUTE_END[] = "</ns1:Attribute>";
constexpr char VALUE_AND_ATTRIBUTE_END[] = "</ns1:AttributeValue></ns1:Attribute>";

// A fixed single-valued String attribute of the requesting machine.
#define KOVA_AUDIT_ATTRIBUTE(suffix, value)                                                                  \
    "<ns1:Attribute AttributeId=\"", KOVA_AUDIT_NAMESPACE_BASE, suffix "\" DataType=", KOVA_DATATYPE_STRING, \
        "><ns1:AttributeValue>" value "</ns1:AttributeValue></ns1:Attribute>"

constexpr auto SUBJECT_ID_START =
    join("<ns1:Subject SubjectCategory=\"urn:oasis:names:tc:xacml:1.0:subject-category:requesting-machine\">"
         "<ns1:Attribute AttributeId=\"urn:oasis:names:tc:xacml:1.0:subject:subject-id\" DataType=",
         KOVA_DATATYPE_STRING, "><ns1:AttributeValue>Corvane Client@ ");
constexpr auto AUDIT_ATTRIBUTES =
    join("</ns1:AttributeValue></ns1:Attribute>", KOVA_AUDIT_ATTRIBUTE("/audit/componentIdType", "Application"),
         KOVA_AUDIT_ATTRIBUTE("/audit/componentType", "Application Enforcement Point"),
         KOVA_AUDIT_ATTRIBUTE("/audit/component", "Corvane Client"), "<ns1:Attribute AttributeId=\"",
         KOVA_AUDIT_NAMESPACE_BASE, "/audit/executionEnvironment\" DataType=", KOVA_DATATYPE_STRING,
         "><ns1:AttributeValue>");
constexpr auto ACCESS_SUBJECT_START =
    join("]</ns1:AttributeValue></ns1:Attribute></ns1:Subject>"
         "<ns1:Subject SubjectCategory=\"urn:oasis:names:tc:xacml:1.0:subject-category:access-subject\">");
constexpr auto RESOURCE_ID_START =
    join("</ns1:Subject><ns1:Resource>"
         "<ns1:Attribute AttributeId=\"urn:oasis:names:tc:xacml:1.0:resource:resource-id\" DataType=",
         KOVA_DATATYPE_STRING, "><ns1:AttributeValue>");
constexpr auto INHERITED_ID_START = join(
    "<ns1:Attribute AttributeId=\"urn:oxa:security:resource:inherited-resource-id\" DataType=", KOVA_DATATYPE_STRING,
    "><ns1:AttributeValue>");
constexpr auto CONTEXT_ID_START =
    join("<ns1:Environment><ns1:Attribute AttributeId=\"ContextId\" DataType=", KOVA_DATATYPE_STRING, " Issuer=\"",
         KOVA_POLICY_ISSUER, "\"><ns1:AttributeValue>");

#undef KOVA_AUDIT_ATTRIBUTE

// The end of an attribute's start tag for each DataType constant: one copy where three pieces would be three.
template <const auto& Type>
constexpr auto DATATYPE_END = join("\" DataType=", Type, ">");
#define KOVA_DATATYPE_END_ROW(type) \
    std::pair<const char*, std::string_view>(type, {DATATYPE_END<type>.data(), DATATYPE_END<type>.size() - 1})
constexpr std::array DATATYPE_ENDS = {
    KOVA_DATATYPE_END_ROW(KOVA_DATATYPE_STRING),   KOVA_DATATYPE_END_ROW(KOVA_DATATYPE_INTEGER),
    KOVA_DATATYPE_END_ROW(KOVA_DATATYPE_BOOLEAN),  KOVA_DATATYPE_END_ROW(KOVA_DATATYPE_DOUBLE),
    KOVA_DATATYPE_END_ROW(KOVA_DATATYPE_TIME),     KOVA_DATATYPE_END_ROW(KOVA_DATATYPE_DATE),
    KOVA_DATATYPE_END_ROW(KOVA_DATATYPE_X500NAME),
};
#undef KOVA_DATATYPE_END_ROW

// Any other DataType text (none of the constants) is written in its three pieces.
void appendDataTypeEnd(std::string& out, const char* dataType) {
    for (const auto& [type, end] : DATATYPE_ENDS) {
        if (type == dataType) {
            out.append(end);
            return;
        }
    }
    out.append("\" DataType=").append(dataType).push_back('>');
}

// The fixed fragments by slot; null where formatRequest (or, for slot 12, the constructor) points the
// slot at the request's own text.
// clang-format off
constexpr std::array<const char*, KOVARequest::FRAGMENT_COUNT> FIXED_SLOTS = {
    SUBJECT_ID_START.data(), nullptr, AUDIT_ATTRIBUTES.data(), nullptr, "#[", nullptr,
    ACCESS_SUBJECT_START.data(), nullptr, RESOURCE_ID_START.data(), nullptr, VALUE_AND_ATTRIBUTE_END,
    INHERITED_ID_START.data(), nullptr, VALUE_AND_ATTRIBUTE_END, nullptr, "</ns1:Resource>", "<ns1:Action>",
    nullptr, "</ns1:Action>", CONTEXT_ID_START.data(), nullptr, VALUE_AND_ATTRIBUTE_END, nullptr,
    "</ns1:Environment>",
};
// clang-format on

// Escapes of the five XML special characters; every other byte stands for itself.
constexpr std::array<std::string_view, 256> XML_ENTITIES = [] {
    std::array<std::string_view, 256> table{};
    table['"'] = "&quot;";
    table['&'] = "&amp;";
    table['\''] = "&apos;";
    table['<'] = "&lt;";
    table['>'] = "&gt;";
    return table;
}();

// Runs of plain bytes found by the C library's vectorized search and copied whole.
void appendEntities(std::string& out, const char* text) {
    for (;;) {
        std::size_t run = std::strcspn(text, "\"&'<>");
        out.append(text, run);
        text += run;
        if (*text == '\0') return;
        out.append(XML_ENTITIES[static_cast<unsigned char>(*text++)]);
    }
}

// Registry names carry "secAuthority"; the X.500 form names it by its object identifier.
void appendX500Name(std::string& out, std::string_view text) {
    constexpr std::string_view from = "secAuthority", to = "1.3.6.1.4.1.4228.1.3";
    for (std::size_t at; (at = text.find(from)) != std::string_view::npos; text.remove_prefix(at + from.size())) {
        out.append(text.substr(0, at)).append(to);
    }
    out.append(text);
}

char* slotText(const std::string& text) { return const_cast<char*>(text.c_str()); }

std::size_t textSize(const KOVADataList& items) {
    std::size_t size = 0;
    for (const auto& [name, value] : items) size += name.size() + value.size();
    return size;
}

// Room for one attribute's markup, DataType and identifier, beside its value.
constexpr std::size_t ATTRIBUTE_MARKUP = 200;

// The blocks of the last request's texts on this thread, lent to the next request: a decision then writes
// its document into blocks of a few kilobytes without allocating and freeing them. Blocks past
// MAX_SPARE_BYTES (a very large decision's) are freed, not kept.
constexpr std::size_t MAX_SPARE_BYTES = 64 * 1024;
thread_local std::array<std::string, KOVARequest::OWN_TEXT_COUNT> t_spareTexts;
// The same for the elements of the attribute lists (a decision usually collects two attributes).
constexpr std::size_t MAX_SPARE_ATTRIBUTES = 16;
thread_local KOVAAttributeList t_spareAttributes;

}  // namespace

KOVARequest::KOVARequest(std::string_view contextID, std::string_view serverVersion, std::string_view serverName,
                         std::string_view protectedResource, std::string_view action, std::string_view inheritedPOP)
    : m_fragments(m_slots, FRAGMENT_COUNT) {
    static const char* const name = "KOVARequest::KOVARequest";
    KOVA_ENTER(name);
    std::array<std::string, OWN_TEXT_COUNT>& spares = t_spareTexts;
    std::array<std::string*, OWN_TEXT_COUNT> texts = ownTexts();
    for (std::size_t i = 0; i < OWN_TEXT_COUNT; ++i) *texts[i] = std::move(spares[i]);
    m_contextID.assign(contextID);
    m_serverVersion.assign(serverVersion);
    m_serverName.assign(serverName);
    m_protectedResource.assign(protectedResource);
    m_action.assign(action);
    m_inheritedPOP.assign(inheritedPOP);
    // The SOAP layer only reads the fragments; the slot type is the any-content's.
    std::transform(FIXED_SLOTS.begin(), FIXED_SLOTS.end(), m_slots,
                   [](const char* text) { return const_cast<char*>(text); });
    m_slots[12] = slotText(m_inheritedPOP);
    KOVA_EXIT(name);
}

KOVARequest::~KOVARequest() {
    static const char* const name = "KOVARequest::~KOVARequest";
    KOVA_ENTER(name);
    std::array<std::string, OWN_TEXT_COUNT>& spares = t_spareTexts;
    std::array<std::string*, OWN_TEXT_COUNT> texts = ownTexts();
    for (std::size_t i = 0; i < OWN_TEXT_COUNT; ++i) {
        if (texts[i]->capacity() > MAX_SPARE_BYTES) continue;
        texts[i]->clear();
        spares[i] = std::move(*texts[i]);
    }
    KOVAAttributeList& spareAttributes = t_spareAttributes;
    for (KOVAAttributeList* list : {&m_subjectList, &m_actionList, &m_resourceList}) {
        if (spareAttributes.size() + list->size() <= MAX_SPARE_ATTRIBUTES)
            spareAttributes.splice(spareAttributes.end(), *list);
    }
    KOVA_EXIT(name);
}

KOVAAttribute& KOVARequest::addAttribute(KOVAAttributeList& list, std::string_view id, const char* dataType) {
    KOVAAttributeList& spares = t_spareAttributes;
    if (spares.empty()) return list.emplace_back(id, dataType);
    list.splice(list.end(), spares, spares.begin());
    list.back().reset(id, dataType);
    return list.back();
}

std::array<std::string*, KOVARequest::OWN_TEXT_COUNT> KOVARequest::ownTexts() {
    return {&m_contextID,    &m_serverVersion, &m_serverName,       &m_protectedResource, &m_action,
            &m_inheritedPOP, &m_subjectAttrs,  &m_environmentAttrs, &m_resourceAttrs,     &m_actionAttrs};
}

int KOVARequest::formatRequest(const KOVAData& data, KOVAAuditFields* auditFields, int useRealClientIP,
                               int provideOldAttrIDs) {
    static const char* const name = "KOVARequest::formatRequest";
    KOVA_ENTER(name);
    reserveTexts(data, provideOldAttrIDs);
    if (int result = createAttributes(data, auditFields, provideOldAttrIDs)) return result;
    KOVA_TRACE(9, "%s: Final attributes [%s]", name, m_environmentAttrs.c_str());
    if (int result = createCredentials(data, auditFields, useRealClientIP, provideOldAttrIDs)) return result;
    KOVA_TRACE(9, "%s: Final credentials [%s]", name, m_subjectAttrs.c_str());

    m_slots[1] = m_slots[3] = slotText(m_serverName);
    m_slots[5] = slotText(m_serverVersion);
    m_slots[7] = slotText(m_subjectAttrs);
    m_slots[9] = slotText(m_protectedResource);
    m_slots[14] = slotText(m_resourceAttrs);
    m_slots[17] = slotText(m_actionAttrs);
    m_slots[20] = slotText(m_contextID);
    m_slots[22] = slotText(m_environmentAttrs);

    if (kova_tracing(6)) traceDocument();
    KOVA_EXIT_STATUS(name, 0);
    return 0;
}

// Sized from the inputs so that the texts grow in one step: every HTTP item and credential becomes at
// most one attribute (two with the old identifiers), and group values are written three times.
void KOVARequest::reserveTexts(const KOVAData& data, int provideOldAttrIDs) {
    std::size_t copies = provideOldAttrIDs ? 2 : 1;
    m_environmentAttrs.reserve(copies * (textSize(data.HTTPInfo) + data.HTTPInfo.size() * ATTRIBUTE_MARKUP) +
                               ATTRIBUTE_MARKUP);
    m_subjectAttrs.reserve(3 * textSize(data.creds) + (copies * data.creds.size() + 6) * ATTRIBUTE_MARKUP);
    m_actionAttrs.reserve(ATTRIBUTE_MARKUP + m_action.size());
}

void KOVARequest::traceDocument() const {
    std::string document = "Constructed XACML: ";
    for (const char* fragment : m_slots) document += fragment;
    KOVA_TRACE(6, "%s", document.c_str());
}

// ---- serialization --------------------------------------------------------------------------------

void KOVARequest::getDataTypeURI(const std::string& word, const char*& dataType) const {
    static constexpr std::pair<std::string_view, const char*> types[] = {
        {"string", KOVA_DATATYPE_STRING},     {"integer", KOVA_DATATYPE_INTEGER}, {"boolean", KOVA_DATATYPE_BOOLEAN},
        {"double", KOVA_DATATYPE_DOUBLE},     {"time", KOVA_DATATYPE_TIME},       {"date", KOVA_DATATYPE_DATE},
        {"x500name", KOVA_DATATYPE_X500NAME},
    };
    auto found = std::find_if(std::begin(types), std::end(types), [&](const auto& type) { return type.first == word; });
    dataType = found != std::end(types) ? found->second : KOVA_DATATYPE_STRING;
}

int KOVARequest::getCategory(const char* word) const {
    static const char* const name = "KOVARequest::getCategory";
    static constexpr std::pair<std::string_view, int> categories[] = {
        {"Environment", KOVA_CATEGORY_ENVIRONMENT},
        {"Subject", KOVA_CATEGORY_SUBJECT},
        {"Action", KOVA_CATEGORY_ACTION},
        {"Resource", KOVA_CATEGORY_RESOURCE},
    };
    KOVA_TRACE(6, "Enter %s pszCategory[%s]", name, word);
    auto found = std::find_if(std::begin(categories), std::end(categories),
                              [&](const auto& category) { return category.first == word; });
    int result = found != std::end(categories) ? found->second : KOVA_CATEGORY_NONE;
    if (result == KOVA_CATEGORY_NONE) KOVA_TRACE(1, "%s: Input category is bad", name);
    KOVA_TRACE(6, "Exit %s  result[%d]", name, result);
    return result;
}

void KOVARequest::replaceSpecialXMLChars(const char* input, std::string& output) const {
    output.clear();
    std::size_t length = std::strlen(input);
    output.reserve(length + length / 4);
    appendEscaped(output, input);
}

void KOVARequest::replaceSpecialXMLChars(std::string& text) const {
    std::string escaped;
    replaceSpecialXMLChars(text.c_str(), escaped);
    text.swap(escaped);
}

void KOVARequest::appendEscaped(std::string& out, const char* text) {
    static const char* const name = "replaceSpecialXMLChars";
    KOVA_TRACE(6, "Enter %s original[%s]", name, text);
    std::size_t start = out.size();
    appendEntities(out, text);
    KOVA_TRACE(6, "Exit %s  replaced[%s]", name, out.c_str() + start);
}

void KOVARequest::appendText(std::string& out, const char* text, TextForm form) {
    switch (form) {
        case TextForm::Escaped: appendEscaped(out, text); break;
        case TextForm::Raw: out.append(text); break;
        case TextForm::X500Name: appendX500Name(out, text); break;
    }
}

void KOVARequest::appendAttributeStart(std::string& out, const char* id, const char* dataType, TextForm form) {
    out.append("<ns1:Attribute AttributeId=\"");
    appendText(out, id, form);
    appendDataTypeEnd(out, dataType);
}

void KOVARequest::appendValue(std::string& out, const char* value, TextForm form) {
    out.append(VALUE_START);
    appendText(out, value, form);
    out.append(VALUE_END);
}

void KOVARequest::appendAttributeEnd(std::string& out) { out.append(ATTRIBUTE_END); }
