// The request's attributes: HTTP items into Environment, Subject, Action and Resource attributes, the
// credentials into the access subject, and the writer every attribute element goes through.
#include <algorithm>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "rba/KOVAConfig.h"
#include "rba/KOVARequest.h"

static constexpr const char* KOVA_UNIT = "rba/KOVARequest";

namespace {

// A well-known HTTP item or credential name and the attribute it becomes.
struct CannedAttribute {
    std::string_view name;
    const char* id;
    const char* dataType;
    int category;
};

constexpr CannedAttribute CANNED_HTTP_ATTRIBUTES[] = {
    {"header:Accept", "urn:oxa:security:environment:http:accept", KOVA_DATATYPE_STRING, KOVA_CATEGORY_ENVIRONMENT},
    {"header:Accept-Encoding", "urn:oxa:security:environment:http:acceptEncoding", KOVA_DATATYPE_STRING,
     KOVA_CATEGORY_ENVIRONMENT},
    {"header:Accept-Language", "urn:oxa:security:environment:http:acceptLanguage", KOVA_DATATYPE_STRING,
     KOVA_CATEGORY_ENVIRONMENT},
    {"header:User-Agent", "urn:oxa:security:environment:http:userAgent", KOVA_DATATYPE_STRING,
     KOVA_CATEGORY_ENVIRONMENT},
    {"header:Accept-Charset", "urn:oxa:security:environment:http:acceptCharset", KOVA_DATATYPE_STRING,
     KOVA_CATEGORY_ENVIRONMENT},
    {"uri", "urn:oxa:security:environment:http:uri", KOVA_DATATYPE_STRING, KOVA_CATEGORY_ENVIRONMENT},
    {"client_ip", "urn:oxa:security:subject:ipAddress", KOVA_DATATYPE_STRING, KOVA_CATEGORY_SUBJECT},
    {"method", "urn:oasis:names:tc:xacml:1.0:action:action-id", KOVA_DATATYPE_STRING, KOVA_CATEGORY_ACTION},
    {"cookie:ac.uuid", "ac.uuid", KOVA_DATATYPE_STRING, KOVA_CATEGORY_ENVIRONMENT},
    {"scheme", "urn:oxa:security:environment:scheme", KOVA_DATATYPE_STRING, KOVA_CATEGORY_ENVIRONMENT},
    {"header:Host", "urn:oxa:security:environment:http:host", KOVA_DATATYPE_STRING, KOVA_CATEGORY_ENVIRONMENT},
};

constexpr CannedAttribute CANNED_CREDENTIAL_ATTRIBUTES[] = {
    {"AUTHENTICATION_LEVEL", "urn:oxa:security:subject:authenticationLevel", KOVA_DATATYPE_INTEGER,
     KOVA_CATEGORY_SUBJECT},
    {"AZN_CRED_AUTHNMECH_INFO", "urn:oxa:security:subject:authenticationMechanism", KOVA_DATATYPE_STRING,
     KOVA_CATEGORY_SUBJECT},
    {"AZN_CRED_AUTH_METHOD", "urn:oxa:security:subject:authenticationMethod", KOVA_DATATYPE_STRING,
     KOVA_CATEGORY_SUBJECT},
    {"AZN_CRED_GROUPS", "urn:oxa:security:subject:groups", KOVA_DATATYPE_STRING, KOVA_CATEGORY_SUBJECT},
    {"AZN_CRED_PRINCIPAL_NAME", "urn:oxa:security:subject:username", KOVA_DATATYPE_STRING, KOVA_CATEGORY_SUBJECT},
    {"AZN_CRED_QOP_INFO", "urn:oxa:security:subject:qop", KOVA_DATATYPE_STRING, KOVA_CATEGORY_SUBJECT},
    {"authenticationTypes", "urn:oxa:security:subject:authenticationTypes", KOVA_DATATYPE_STRING,
     KOVA_CATEGORY_SUBJECT},
    {"authenticationMechanismTypes", "urn:oxa:security:subject:authenticationMechanismTypes", KOVA_DATATYPE_STRING,
     KOVA_CATEGORY_SUBJECT},
    {"authenticationTransactionId", "urn:oxa:security:subject:authenticationTransactionId", KOVA_DATATYPE_STRING,
     KOVA_CATEGORY_SUBJECT},
};

// Subject attributes whose single credential value may hold a comma-separated list.
constexpr std::string_view MULTIVALUED_SUBJECT_IDS[] = {
    "urn:oxa:security:subject:authenticationTypes",
    "urn:oxa:security:subject:authenticationMechanismTypes",
};

// Credentials recorded in the audit record, by credential name.
constexpr std::pair<std::string_view, const char*> AUDITED_CREDENTIALS[] = {
    {"AZN_AUTHENTICATION_LEVEL", "auth-level"},
    {"AZN_CRED_PRINCIPAL_NAME", "user"},
    {"AZN_CRED_NETWORK_ADDRESS_STR", "ip-address"},
};

constexpr char CLIENT_IP[] = "client_ip";
constexpr char NETWORK_ADDRESS[] = "AZN_CRED_NETWORK_ADDRESS_STR";
constexpr char IP_ADDRESS_ID[] = "urn:oxa:security:subject:ipAddress";
constexpr char ACTION_ID[] = "urn:oasis:names:tc:xacml:1.0:action:action-id";
constexpr char SUBJECT_ID[] = "urn:oasis:names:tc:xacml:1.0:subject:subject-id";
constexpr char GROUP_ID[] = "urn:oasis:names:tc:xacml:1.0:subject:group-id";

const CannedAttribute* findCanned(std::span<const CannedAttribute> table, std::string_view name) {
    auto found = std::find_if(table.begin(), table.end(), [&](const CannedAttribute& row) { return row.name == name; });
    return found != table.end() ? &*found : nullptr;
}

const char* textOf(const std::string& text) { return text.c_str(); }
const char* textOf(const KOVAText& text) { return text.c_str(); }
const char* textOf(const KOVAText* text) { return text->c_str(); }

// The end of the run of adjacent items that share the name of `first`.
KOVADataList::const_iterator endOfRun(KOVADataList::const_iterator first, KOVADataList::const_iterator end) {
    return std::find_if(std::next(first), end, [&](const KOVADataItem& item) { return item.first != first->first; });
}

// The values of the items [first, last), read in place. A hand-made range rather than a view adaptor:
// clang 14 cannot compile libstdc++ 12's views, and the fuzz build uses clang.
class ItemValues {
public:
    class iterator {
    public:
        using value_type = KOVAText;
        using difference_type = std::ptrdiff_t;
        iterator() = default;
        explicit iterator(KOVADataList::const_iterator at) : m_at(at) {}
        const KOVAText& operator*() const { return m_at->second; }
        iterator& operator++() {
            ++m_at;
            return *this;
        }
        iterator operator++(int) { return iterator(m_at++); }
        bool operator==(const iterator&) const = default;

    private:
        KOVADataList::const_iterator m_at;
    };

    ItemValues(KOVADataList::const_iterator first, KOVADataList::const_iterator last) : m_first(first), m_last(last) {}
    iterator begin() const { return iterator(m_first); }
    iterator end() const { return iterator(m_last); }

private:
    KOVADataList::const_iterator m_first, m_last;
};

std::string_view stripped(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n\f\v";
    std::size_t start = text.find_first_not_of(blanks);
    if (start == std::string_view::npos) return {};
    return text.substr(start, text.find_last_not_of(blanks) - start + 1);
}

// The first item named `key`, with the search traced under the caller's name.
bool findItem(const KOVADataList& items, const char* listName, const char* key, std::string& value,
              const char* traceName) {
    if (items.empty()) {
        KOVA_TRACE(9, "%s: %s is empty!", traceName, listName);
        return false;
    }
    KOVA_TRACE(9, "%s: %s is not empty", traceName, listName);
    for (const auto& [name, itemValue] : items) {
        KOVA_TRACE(9, "%s: compare iterator key[%s] with [%s]", traceName, name.c_str(), key);
        if (name == key) {
            value = itemValue;
            KOVA_TRACE(9, "%s: found it.  [%s] [%s]", traceName, name.c_str(), itemValue.c_str());
            return true;
        }
    }
    return false;
}

}  // namespace

// ---- attribute elements ---------------------------------------------------------------------------

template <class Values>
void KOVARequest::appendAttributeElement(std::string& out, const char* id, const char* dataType, const Values& values,
                                         TextForm form) {
    appendAttributeStart(out, id, dataType, form);
    for (const auto& value : values) appendValue(out, textOf(value), form);
    appendAttributeEnd(out);
}

template <class Values>
int KOVARequest::validValues(const char* id, const char* dataType, const Values& values) {
    static const char* const name = "KOVARequest::validAttribute";
    KOVA_TRACE(6, "Enter %s Attribute id[%s] datatype[%s]", name, id, dataType);
    int result = 0;
    if (std::ranges::any_of(values, [](const auto& value) { return textOf(value)[0] == '\0'; })) {
        KOVA_TRACE(1, "%s ERROR: Found an empty value", name);
        result = 1;
    }
    KOVA_TRACE(6, "Exit %s [%d]", name, result);
    return result;
}

int KOVARequest::validAttribute(const KOVAAttribute& attribute) const {
    return validValues(attribute.getId().c_str(), attribute.getDataType(), attribute.getValues());
}

void KOVARequest::appendAttributesToStr(const KOVAAttributeList& attributes, std::string& out) const {
    for (const KOVAAttribute& attribute : attributes) {
        if (validAttribute(attribute)) {
            KOVA_TRACE(1, "%s ERROR: Attribute[%s] is not vaild.  Will not add it to XACML string.",
                       "KOVARequest::appendAttributesToStr", attribute.getId().c_str());
            continue;
        }
        appendAttributeElement(out, attribute.getId().c_str(), attribute.getDataType(), attribute.getValues(),
                               TextForm::Escaped);
    }
}

// ---- environment and HTTP attributes --------------------------------------------------------------

void KOVARequest::getUpdatedAttributeAttrInfo(const KOVAText& name, std::string& id, const char*& dataType,
                                              int& category) const {
    static const char* const traceName = "getUpdatedAttributeAttrInfo";
    KOVA_TRACE(6, "Enter %s id[%s]", traceName, name.c_str());
    if (const CannedAttribute* row = findCanned(CANNED_HTTP_ATTRIBUTES, name)) {
        id = row->id;
        dataType = row->dataType;
        category = row->category;
        KOVA_TRACE(9, "%s Found a replacement attr id[%s] data type[%s]", traceName, id.c_str(), dataType);
    } else {
        KOVA_TRACE(9, "%s Not an attribute we need to change for the canned list", traceName);
        id.assign(name);  // the lookup key, in the caller's kept buffer; replaced by the mapped key when found
        if (kova_config->getAppContextKey(id, id) == 0 && !id.empty()) {
            KOVA_TRACE(9, "%s Found the \"leftside\" value[%s] to use for the attribute ID", traceName, id.c_str());
        } else {
            KOVA_TRACE(1, "%s ERROR: Failed to find the \"leftside\" for this ID.  We'll just use the existing ID",
                       traceName);
            id.assign(name);
        }
        std::string word;
        dataType = KOVA_DATATYPE_STRING;
        if (kova_config->getAttrDataType(id, word) == 0) {
            KOVA_TRACE(9, "%s Found a user-defined data type for this attribute of[%s]", traceName, word.c_str());
            getDataTypeURI(word, dataType);
            KOVA_TRACE(9, "%s Which converts to a URL of[%s]", traceName, dataType);
        }
        category = KOVA_CATEGORY_ENVIRONMENT;
        if (kova_config->getAttrCategory(id, word) == 0) {
            int configured = getCategory(word.c_str());
            if (configured != KOVA_CATEGORY_NONE) category = configured;
        }
    }
    KOVA_TRACE(6, "Exit %s  newAttrID[%s] newAttrDataType[%s]", traceName, id.c_str(), dataType);
}

int KOVARequest::createAttributes(const KOVAData& data, KOVAAuditFields* auditFields, int provideOldAttrIDs) {
    static const char* const name = "KOVARequest::createAttributes";
    KOVA_ENTER(name);
    const KOVADataList& items = data.HTTPInfo;
    if (items.empty()) KOVA_TRACE(9, "HTTPInfo is empty!");

    bool foundClientIP = false, foundMethod = false;
    // Kept by the thread: the identifiers are mostly longer than a short string, and each decision would
    // otherwise allocate and free a block for them.
    thread_local std::string id;
    const char* dataType = KOVA_DATATYPE_STRING;
    int category = KOVA_CATEGORY_NONE;
    for (auto first = items.begin(), last = first; first != items.end(); first = last) {
        last = endOfRun(first, items.end());
        const KOVAText& itemName = first->first;
        foundClientIP |= itemName == CLIENT_IP;
        foundMethod |= itemName == "method";
        getUpdatedAttributeAttrInfo(itemName, id, dataType, category);
        if (category == KOVA_CATEGORY_ENVIRONMENT) {
            appendEnvironmentAttribute(first, last, id, dataType, auditFields, provideOldAttrIDs);
            continue;
        }
        KOVAAttributeList* target = category == KOVA_CATEGORY_SUBJECT    ? &m_subjectList
                                    : category == KOVA_CATEGORY_ACTION   ? &m_actionList
                                    : category == KOVA_CATEGORY_RESOURCE ? &m_resourceList
                                                                         : nullptr;
        if (!target) {
            KOVA_TRACE(1,
                       "%s: Got a category[%d] that's NOT valid.  Should never happen.  Will lose this attribute[%s]",
                       name, category, id.c_str());
            continue;
        }
        KOVAAttribute& attribute = addAttribute(*target, itemName, KOVA_DATATYPE_STRING);
        for (const KOVAText& value : ItemValues(first, last)) attribute.addValue(std::string(value));
        attribute.setId(id);
        attribute.setDataType(dataType);
    }

    if (foundClientIP) {
        KOVA_TRACE(9, "%s Found client_ip attribute, no need to force one", name);
    } else {
        KOVA_TRACE(9, "%s Did not find client_ip attribute", name);
        forceURNClientIP(data);
    }
    if (!foundMethod) addAttribute(m_actionList, ACTION_ID, KOVA_DATATYPE_STRING).addValue(m_action);
    appendAttributesToStr(m_actionList, m_actionAttrs);
    appendAttributesToStr(m_resourceList, m_resourceAttrs);
    KOVA_EXIT(name);
    return 0;
}

void KOVARequest::appendEnvironmentAttribute(KOVADataList::const_iterator first, KOVADataList::const_iterator last,
                                             const std::string& id, const char* dataType, KOVAAuditFields* auditFields,
                                             int provideOldAttrIDs) {
    auto values = ItemValues(first, last);
    if (validValues(id.c_str(), dataType, values)) {
        KOVA_TRACE(1, "%s ERROR: Attribute[%s] is not valid.  Will not add to XACML", "KOVARequest::createAttributes",
                   id.c_str());
        return;
    }
    const KOVAText& sourceId = first->first;
    bool auditUserAgent = auditFields && id == "header:user-agent";
    for (const KOVAText& value : values) {
        KOVA_TRACE(9, "key: %s, value: %s", id.c_str(), value.c_str());
        if (auditUserAgent) {
            std::string escaped;
            replaceSpecialXMLChars(value.c_str(), escaped);
            kova_audit_add(auditFields, "user-agent", escaped);
        }
    }
    appendAttributeElement(m_environmentAttrs, id.c_str(), dataType, values, TextForm::Escaped);
    if (provideOldAttrIDs && id != sourceId) {
        appendAttributeElement(m_environmentAttrs, sourceId.c_str(), KOVA_DATATYPE_STRING, values, TextForm::Escaped);
    }
}

// ---- subject attributes from credentials ----------------------------------------------------------

bool KOVARequest::findClientIP(const KOVAData& data, std::string& clientIP) const {
    static const char* const name = "KOVARequest::findClientIP";
    KOVA_ENTER(name);
    bool found = findItem(data.HTTPInfo, "HTTPInfo", CLIENT_IP, clientIP, name);
    KOVA_EXIT_STATUS(name, found);
    return found;
}

bool KOVARequest::findCredKey(const KOVAData& data, const char* key, std::string& value) const {
    static const char* const name = "KOVARequest::findCredKey";
    KOVA_TRACE(6, "Enter %s pszKey[%s]", name, key);
    bool found = findItem(data.creds, "creds", key, value, name);
    KOVA_TRACE(6, "Exit %s  result[%d]", name, found);
    return found;
}

void KOVARequest::forceURNClientIP(const KOVAData& data) {
    static const char* const name = "KOVARequest::forceURNClientIP";
    KOVA_ENTER(name);
    std::string address;
    if (findCredKey(data, NETWORK_ADDRESS, address)) {
        KOVA_TRACE(9, "%s: Found Credential for network address string[%s]", name, address.c_str());
        addAttribute(m_subjectList, IP_ADDRESS_ID, KOVA_DATATYPE_STRING).addValue(address);
    } else {
        KOVA_TRACE(1, "%s: Failed to find cred named[%s].  Will not be able to add [%s] to the XACML!", name,
                   NETWORK_ADDRESS, IP_ADDRESS_ID);
    }
    KOVA_EXIT(name);
}

int KOVARequest::handleMultivaluedSubjectAttr(const char* id, std::string_view value) {
    static const char* const name = "KOVARequest::handleMultivaluedSubjectAttr";
    KOVA_TRACE(9, "%s ENTER pszAttrID[%s] pszValue[%.*s]", name, id, static_cast<int>(value.size()), value.data());
    if (std::ranges::find(MULTIVALUED_SUBJECT_IDS, std::string_view(id)) == std::end(MULTIVALUED_SUBJECT_IDS)) {
        KOVA_TRACE(9, "%s   NOT a multi-valued attribute ID", name);
        KOVA_TRACE(9, "%s EXIT [%d]", name, 0);
        return 0;
    }
    KOVA_TRACE(9, "%s This attribute ID IS a multi-valued attribute ID.  It's value[%.*s]", name,
               static_cast<int>(value.size()), value.data());
    if (value.find(',') == std::string_view::npos) {
        KOVA_TRACE(9, "%s No comma char, just a single value", name);
        KOVA_TRACE(9, "%s EXIT [%d]", name, 0);
        return 0;
    }
    KOVA_TRACE(9, "%s   and it's value contains at least 1 comma characer\n", name);
    KOVAAttribute& attribute = addAttribute(m_subjectList, id, KOVA_DATATYPE_STRING);
    // Every comma ends a piece; the text after the last comma counts only when it is not empty.
    std::string_view rest = value;
    while (!rest.empty()) {
        std::size_t comma = rest.find(',');
        std::string piece(stripped(rest.substr(0, comma)));
        KOVA_TRACE(9, "%s Found an entry within the value[%s]", name, piece.c_str());
        attribute.addValue(std::move(piece));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    KOVA_TRACE(9, "%s EXIT [%d]", name, 1);
    return 1;
}

// Appends "last-successful-secondary-challenge" when the level has an obligation; false when the level
// does not convert.
bool KOVARequest::appendSecondaryChallenge(const KOVAText& level) {
    uint32_t number = 0;
    try {
        number = kova_strtoul(level.c_str());
    } catch (const KOVAException& error) {
        KOVA_TRACE(9, "%s", error.what());
        return false;
    }
    // A level without obligation is normal; raising for it would cost more than the rest of the request.
    if (const std::string* obligation = kova_config->findObligation(number)) {
        appendAttributeElement(m_environmentAttrs, "last-successful-secondary-challenge", KOVA_DATATYPE_STRING,
                               std::span(obligation, 1), TextForm::Escaped);
    } else {
        KOVA_TRACE(9, "Obligation missing for authentication level: %u", number);
    }
    return true;
}

// Working state of one createCredentials call. The group list's array stays with the thread for its next
// request.
struct KOVARequest::CredentialWalk {
    CredentialWalk();
    ~CredentialWalk();
    CredentialWalk(const CredentialWalk&) = delete;
    CredentialWalk& operator=(const CredentialWalk&) = delete;

    std::string clientIP;
    bool haveRealClientIP = false;
    const KOVAText* registryDN = nullptr;
    std::vector<const KOVAText*> groups;  // room for every credential taken at the first group
    std::size_t credentialCount = 0;
    std::string copy;  // the element under the credential's own name, when old identifiers are asked for
};

namespace {

// An array that held up to this many groups is kept, empty, for the thread's next request; a larger one is freed.
constexpr std::size_t MAX_KEPT_GROUPS = 256;
thread_local std::vector<const KOVAText*> t_spareGroups;

}  // namespace

KOVARequest::CredentialWalk::CredentialWalk() { groups.swap(t_spareGroups); }

KOVARequest::CredentialWalk::~CredentialWalk() {
    if (groups.capacity() > MAX_KEPT_GROUPS) return;
    groups.clear();
    groups.swap(t_spareGroups);
}

namespace {

// The canned row of a credential name, or null when the name is its own identifier.
const CannedAttribute* subjectAttributeInfo(const KOVAText& credName) {
    static const char* const name = "getUpdatedSubjectAttrInfo";
    KOVA_ENTER(name);
    const CannedAttribute* row = findCanned(CANNED_CREDENTIAL_ATTRIBUTES, credName);
    KOVA_TRACE(6, "Exit %s (0x%x) newAttrID[%s] newAttrDataType[%s]", name, row ? 0 : 1,
               row ? row->id : credName.c_str(), row ? row->dataType : KOVA_DATATYPE_STRING);
    return row;
}

}  // namespace

int KOVARequest::createCredentials(const KOVAData& data, KOVAAuditFields* auditFields, int useRealClientIP,
                                   int provideOldAttrIDs) {
    static const char* const name = "KOVARequest::createCredentials";
    KOVA_ENTER(name);
    const KOVADataList& creds = data.creds;
    if (creds.empty()) KOVA_TRACE(9, "Credentials are empty");

    CredentialWalk walk;
    walk.credentialCount = creds.size();
    if (useRealClientIP) {
        KOVA_TRACE(9, "%s: We want to use the real client IP", name);
        walk.haveRealClientIP = findClientIP(data, walk.clientIP);
    }
    KOVA_TRACE(9, "%s: haveRealClientIP[%d]", name, walk.haveRealClientIP);

    for (auto cursor = creds.begin(); cursor != creds.end();) {
        const auto& [credName, credValue] = *cursor;
        KOVA_TRACE(9, "Cred key: [%s]  Cred value: [%s]", credName.c_str(), credValue.c_str());
        for (const auto& [audited, field] : AUDITED_CREDENTIALS) {
            if (auditFields && credName == audited) kova_audit_add(auditFields, field, std::string(credValue));
        }
        const CannedAttribute* row = subjectAttributeInfo(credName);
        const char* id = row ? row->id : credName.c_str();
        if (handleMultivaluedSubjectAttr(id, credValue)) {
            ++cursor;
            continue;
        }
        auto last = endOfRun(cursor, creds.end());
        bool withCopy = row && provideOldAttrIDs;
        if (!appendCredential(cursor, last, id, row ? row->dataType : KOVA_DATATYPE_STRING, withCopy, walk)) {
            KOVA_EXIT_STATUS(name, 1);
            return 1;
        }
        cursor = last;
    }

    if (walk.registryDN) {
        auto dn = std::span(walk.registryDN, 1);
        appendAttributeElement(m_subjectAttrs, SUBJECT_ID, KOVA_DATATYPE_STRING, dn, TextForm::Raw);
        appendAttributeElement(m_subjectAttrs, SUBJECT_ID, KOVA_DATATYPE_X500NAME, dn, TextForm::X500Name);
    }
    if (!walk.groups.empty()) {
        appendAttributeElement(m_subjectAttrs, GROUP_ID, KOVA_DATATYPE_STRING, walk.groups, TextForm::Escaped);
        appendAttributeElement(m_subjectAttrs, GROUP_ID, KOVA_DATATYPE_X500NAME, walk.groups, TextForm::X500Name);
    }
    appendAttributesToStr(m_subjectList, m_subjectAttrs);
    KOVA_EXIT(name);
    return 0;
}

// Writes the credentials [first, last) of one name as one subject attribute, followed by its copy under
// the credential's own name when asked for; false when an authentication level does not convert.
bool KOVARequest::appendCredential(KOVADataList::const_iterator first, KOVADataList::const_iterator last,
                                   const char* id, const char* dataType, bool withCopy, CredentialWalk& walk) {
    const auto& [credName, credValue] = *first;
    auto appendToBoth = [&](const char* value, TextForm form) {
        appendValue(m_subjectAttrs, value, form);
        if (withCopy) appendValue(walk.copy, value, form);
    };
    appendAttributeStart(m_subjectAttrs, id, dataType, TextForm::Escaped);
    if (withCopy) {
        walk.copy.clear();
        appendAttributeStart(walk.copy, credName.c_str(), KOVA_DATATYPE_STRING, TextForm::Escaped);
    }
    if (credName == NETWORK_ADDRESS) {
        appendToBoth(networkAddress(credValue, walk), TextForm::Raw);
    } else {
        appendToBoth(credValue.c_str(), TextForm::Escaped);
    }

    const bool inGroup = credName == "AZN_CRED_GROUP_REGISTRY_IDS";
    if (credName == "AZN_CRED_REGISTRY_ID") walk.registryDN = &credValue;
    if (inGroup) {
        // Room for every credential, taken at the first group only: most users' credentials carry none.
        walk.groups.reserve(walk.credentialCount);
        walk.groups.push_back(&credValue);
    }
    if (credName == "AUTHENTICATION_LEVEL" && !appendSecondaryChallenge(credValue)) return false;

    // Further values of the name are escaped, the network address's too.
    for (auto cursor = std::next(first); cursor != last; ++cursor) {
        appendToBoth(cursor->second.c_str(), TextForm::Escaped);
        if (inGroup) walk.groups.push_back(&cursor->second);
    }
    appendAttributeEnd(m_subjectAttrs);
    if (withCopy) {
        appendAttributeEnd(walk.copy);
        m_subjectAttrs += walk.copy;
    }
    return true;
}

// The network address as the host gave it, or the request's own client address when that was asked for
// and found.
const char* KOVARequest::networkAddress(const KOVAText& credValue, const CredentialWalk& walk) const {
    static const char* const name = "KOVARequest::createCredentials";
    KOVA_TRACE(9, "%s: We're at the credential[%s] we're interested in.", name, NETWORK_ADDRESS);
    if (!walk.haveRealClientIP) {
        KOVA_TRACE(9, "%s: But we don't have the client_ip.", name);
        return credValue.c_str();
    }
    KOVA_TRACE(9, "%s: and we found a clientIP earlier, so use it[%s]", name, walk.clientIP.c_str());
    return walk.clientIP.c_str();
}
