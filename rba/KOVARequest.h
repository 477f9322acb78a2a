// The XACML 2.0 request context of one decision, built as 24 text fragments.
#pragma once

#include <list>
#include <string>

#include "orbsec_axiscpp/axis.h"
#include "rba/KOVAData.h"
#include "rba/kova_eas.h"

// DataType constants, written verbatim after DataType= (they carry their own double quotes).
extern const char* const KOVA_DATATYPE_STRING;
extern const char* const KOVA_DATATYPE_INTEGER;
extern const char* const KOVA_DATATYPE_BOOLEAN;
extern const char* const KOVA_DATATYPE_DOUBLE;
extern const char* const KOVA_DATATYPE_TIME;
extern const char* const KOVA_DATATYPE_DATE;
extern const char* const KOVA_DATATYPE_X500NAME;

// Hosts of the audit namespace base and of the policy distribution issuer.
extern const char* const KOVA_AUDIT_NAMESPACE_BASE;
extern const char* const KOVA_POLICY_ISSUER;

// Attribute categories.
enum { KOVA_CATEGORY_NONE = 0, KOVA_CATEGORY_ENVIRONMENT = 1, KOVA_CATEGORY_SUBJECT = 2,
       KOVA_CATEGORY_ACTION = 3, KOVA_CATEGORY_RESOURCE = 4 };

// One attribute being collected before it is written.
class KOVAAttribute {
public:
    KOVAAttribute(const std::string& id, const char* dataType)
        : m_id(id), m_sourceId(id), m_dataType(dataType), m_sourceDataType(dataType) {}

    void addValue(const std::string& value) { m_values.push_back(value); }
    void setId(const std::string& id) { m_id = id; }
    void setDataType(const char* dataType) { m_dataType = dataType; }

    const std::string& getId() const { return m_id; }
    const std::string& getSourceId() const { return m_sourceId; }
    const char* getDataType() const { return m_dataType; }
    const char* getSourceDataType() const { return m_sourceDataType; }
    const std::list<std::string>& getValues() const { return m_values; }

private:
    std::string m_id;
    std::string m_sourceId;
    const char* m_dataType;
    const char* m_sourceDataType;
    std::list<std::string> m_values;
};

typedef std::list<KOVAAttribute> KOVAAttributeList;

class KOVARequest {
public:
    enum { FRAGMENT_COUNT = 24 };

    KOVARequest(const std::string& contextID, const std::string& serverVersion, const std::string& serverName,
                const std::string& protectedResource, const std::string& action, const std::string& inheritedPOP);
    ~KOVARequest();
    // Slots point into the request's own strings.
    KOVARequest(const KOVARequest&) = delete;
    KOVARequest& operator=(const KOVARequest&) = delete;
    KOVARequest(KOVARequest&&) = delete;
    KOVARequest& operator=(KOVARequest&&) = delete;

    int formatRequest(const KOVAData& data, KOVAAuditFields* auditFields, int useRealClientIP, int provideOldAttrIDs);
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
    void getUpdatedAttributeAttrInfo(const std::string& name, std::string& id, const char*& dataType, int& category) const;

    // Subject attributes from credentials.
    int createCredentials(const KOVAData& data, KOVAAuditFields* auditFields, int useRealClientIP, int provideOldAttrIDs);
    bool findClientIP(const KOVAData& data, std::string& clientIP) const;
    bool findCredKey(const KOVAData& data, const char* name, std::string& value) const;
    void forceURNClientIP(const KOVAData& data);
    int handleMultivaluedSubjectAttr(const std::string& id, const std::string& value);

    const std::string& subjectText() const { return m_subjectAttrs; }
    const std::string& environmentText() const { return m_environmentAttrs; }
    const std::string& resourceText() const { return m_resourceAttrs; }
    const std::string& actionText() const { return m_actionAttrs; }

private:
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
