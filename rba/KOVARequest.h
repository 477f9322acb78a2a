// The XACML 2.0 request context of one decision, built as 24 text fragments.
#pragma once

#include <array>
#include <list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orbsec_axiscpp/axis.h"
#include "rba/KOVAData.h"
#include "rba/kova_eas.h"

// DataType constants, written verbatim after DataType= (they carry their own double quotes).
inline constexpr char KOVA_DATATYPE_STRING[] = "\"http://www.w3.org/2001/XMLSchema#string\"";
inline constexpr char KOVA_DATATYPE_INTEGER[] = "\"http://www.w3.org/2001/XMLSchema#integer\"";
inline constexpr char KOVA_DATATYPE_BOOLEAN[] = "\"http://www.w3.org/2001/XMLSchema#boolean\"";
inline constexpr char KOVA_DATATYPE_DOUBLE[] = "\"http://www.w3.org/2001/XMLSchema#double\"";
inline constexpr char KOVA_DATATYPE_TIME[] = "\"http://www.w3.org/2001/XMLSchema#time\"";
inline constexpr char KOVA_DATATYPE_DATE[] = "\"http://www.w3.org/2001/XMLSchema#date\"";
inline constexpr char KOVA_DATATYPE_X500NAME[] = "\"urn:oasis:names:tc:xacml:1.0:data-type:x500Name\"";

// Base of the audit attribute identifiers of the requesting machine (scheme and host, no trailing
// slash), and the issuer of the ContextId attribute. The hosts are names of our own, not servers.
inline constexpr char KOVA_AUDIT_NAMESPACE_BASE[] = "http://audit.kova-eas.example";
inline constexpr char KOVA_POLICY_ISSUER[] = "http://pdp.kova-eas.example/policy/distribution";

// Attribute categories.
enum {
    KOVA_CATEGORY_NONE = 0,
    KOVA_CATEGORY_ENVIRONMENT = 1,
    KOVA_CATEGORY_SUBJECT = 2,
    KOVA_CATEGORY_ACTION = 3,
    KOVA_CATEGORY_RESOURCE = 4
};

// One attribute being collected before it is written.
class KOVAAttribute {
public:
    // A view, so that an identifier given as a literal is copied into the two fields and nowhere else.
    KOVAAttribute(std::string_view id, const char* dataType)
        : m_id(id), m_sourceId(id), m_dataType(dataType), m_sourceDataType(dataType) {}

    // As if newly constructed with (id, dataType), keeping the blocks its identifiers and value array already
    // hold (the array only while it held few values).
    void reset(std::string_view id, const char* dataType) {
        m_id.assign(id);
        m_sourceId.assign(id);
        m_dataType = m_sourceDataType = dataType;
        m_values.clear();
        if (m_values.capacity() > MAX_KEPT_VALUES) std::vector<std::string>().swap(m_values);
    }

    void addValue(std::string value) { m_values.push_back(std::move(value)); }
    void setId(const std::string& id) { m_id = id; }
    void setDataType(const char* dataType) { m_dataType = dataType; }

    const std::string& getId() const { return m_id; }
    const std::string& getSourceId() const { return m_sourceId; }
    const char* getDataType() const { return m_dataType; }
    const char* getSourceDataType() const { return m_sourceDataType; }
    const std::vector<std::string>& getValues() const { return m_values; }

private:
    std::string m_id;
    std::string m_sourceId;
    const char* m_dataType;
    const char* m_sourceDataType;
    static constexpr std::size_t MAX_KEPT_VALUES = 16;

    std::vector<std::string> m_values;
};

typedef std::list<KOVAAttribute> KOVAAttributeList;

class KOVARequest {
public:
    enum { FRAGMENT_COUNT = 24 };
    // The texts the request owns; their blocks go back to the thread for its next request.
    static constexpr std::size_t OWN_TEXT_COUNT = 10;

    // Views, copied into the request's own texts: a caller's text needs no std::string of its own.
    KOVARequest(std::string_view contextID, std::string_view serverVersion, std::string_view serverName,
                std::string_view protectedResource, std::string_view action, std::string_view inheritedPOP);
    ~KOVARequest();
    // Slots point into the request's own strings.
    KOVARequest(const KOVARequest&) = delete;
    KOVARequest& operator=(const KOVARequest&) = delete;
    KOVARequest(KOVARequest&&) = delete;
    KOVARequest& operator=(KOVARequest&&) = delete;

    // Fills the request once; non-zero (1 after a level that does not convert) leaves it unsendable.
    int formatRequest(const KOVAData& data, KOVAAuditFields* auditFields, int useRealClientIP, int provideOldAttrIDs);
    // The 24 fragments, valid while the request lives.
    orbsec_axiscpp::AnyType* getRequestFragments() { return &m_fragments; }

    // Serialization.
    void getDataTypeURI(const std::string& word, const char*& dataType) const;
    int getCategory(const char* word) const;
    void replaceSpecialXMLChars(const char* input, std::string& output) const;
    void replaceSpecialXMLChars(std::string& text) const;
    int validAttribute(const KOVAAttribute& attribute) const;
    void appendAttributesToStr(const KOVAAttributeList& attributes, std::string& out) const;

    // Environment and HTTP attributes.
    int createAttributes(const KOVAData& data, KOVAAuditFields* auditFields, int provideOldAttrIDs);
    void getUpdatedAttributeAttrInfo(const KOVAText& name, std::string& id, const char*& dataType,
                                     int& category) const;

    // Subject attributes from credentials.
    int createCredentials(const KOVAData& data, KOVAAuditFields* auditFields, int useRealClientIP,
                          int provideOldAttrIDs);
    bool findClientIP(const KOVAData& data, std::string& clientIP) const;
    bool findCredKey(const KOVAData& data, const char* name, std::string& value) const;
    void forceURNClientIP(const KOVAData& data);
    int handleMultivaluedSubjectAttr(const char* id, std::string_view value);

    const std::string& subjectText() const { return m_subjectAttrs; }
    const std::string& environmentText() const { return m_environmentAttrs; }
    const std::string& resourceText() const { return m_resourceAttrs; }
    const std::string& actionText() const { return m_actionAttrs; }

private:
    // How a text goes into the document: escaped, as it is, or as an X.500 name ("secAuthority" replaced).
    enum class TextForm { Escaped, Raw, X500Name };

    // Text primitives shared by every attribute writer.
    static void appendEscaped(std::string& out, const char* text);
    static void appendText(std::string& out, const char* text, TextForm form);
    static void appendAttributeStart(std::string& out, const char* id, const char* dataType, TextForm form);
    static void appendValue(std::string& out, const char* value, TextForm form);
    static void appendAttributeEnd(std::string& out);
    // One Attribute element with one AttributeValue per value; Values is a range of texts.
    template <class Values>
    static void appendAttributeElement(std::string& out, const char* id, const char* dataType, const Values& values,
                                       TextForm form);
    template <class Values>
    static int validValues(const char* id, const char* dataType, const Values& values);

    void reserveTexts(const KOVAData& data, int provideOldAttrIDs);
    void traceDocument() const;
    // The adjacent HTTP items [first, last) of one name as one attribute of the Environment.
    void appendEnvironmentAttribute(KOVADataList::const_iterator first, KOVADataList::const_iterator last,
                                    const std::string& id, const char* dataType, KOVAAuditFields* auditFields,
                                    int provideOldAttrIDs);
    bool appendSecondaryChallenge(const KOVAText& level);
    struct CredentialWalk;
    bool appendCredential(KOVADataList::const_iterator first, KOVADataList::const_iterator last, const char* id,
                          const char* dataType, bool withCopy, CredentialWalk& walk);
    const char* networkAddress(const KOVAText& credValue, const CredentialWalk& walk) const;

    std::array<std::string*, OWN_TEXT_COUNT> ownTexts();
    // A new attribute at the end of `list`, in an element a previous request on the thread left when there is one.
    static KOVAAttribute& addAttribute(KOVAAttributeList& list, std::string_view id, const char* dataType);

    char* m_slots[FRAGMENT_COUNT];
    orbsec_axiscpp::AnyType m_fragments;

    std::string m_contextID;
    std::string m_serverVersion;
    std::string m_serverName;
    std::string m_protectedResource;
    std::string m_action;
    std::string m_inheritedPOP;

    std::string m_subjectAttrs;
    std::string m_environmentAttrs;
    std::string m_resourceAttrs;
    std::string m_actionAttrs;

    KOVAAttributeList m_subjectList;
    KOVAAttributeList m_actionList;
    KOVAAttributeList m_resourceList;
};
