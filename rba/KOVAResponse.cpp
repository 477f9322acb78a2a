// Finds the decision, obligation id and transaction id in the response text by plain substring search:
// the PDP's response layout is fixed, and a full XML parse would cost more than the whole decision.
#include "rba/KOVAResponse.h"

#include <cstring>
#include <string_view>

#include "rba/kova_eas.h"

static constexpr const char* KOVA_UNIT = "rba/KOVAResponse";

namespace {

constexpr const char* TRANS_ID_ATTRIBUTE = "urn:oxa:security:authentication:obligation.transactionId";
constexpr const char* OBLIGATION_MARKER = "ObligationId=\"";

// The decision markers in the order they are tried; the first found wins.
constexpr struct {
    const char* marker;
    const char* decision;
} DECISIONS[] = {
    {">Permit</", "Permit"},
    {">Deny</", "Deny"},
    {">Indeterminate</", "Indeterminate"},
    {">NotApplicable</", "NotApplicable"},
};

// One piece as it is, without a copy; several joined in order into `joined`.
std::string_view responseText(const orbsec_axiscpp::AnyType* response, std::string& joined) {
    if (response->_size == 1 && response->_array[0]) return response->_array[0];
    for (int i = 0; i < response->_size; ++i) {
        if (response->_array[i]) joined.append(response->_array[i]);
    }
    return joined;
}

}  // namespace

KOVAResponse::KOVAResponse() {
    KOVA_ENTER("KOVAResponse::KOVAResponse");
    KOVA_EXIT("KOVAResponse::KOVAResponse");
}

KOVAResponse::~KOVAResponse() {
    KOVA_ENTER("KOVAResponse::~KOVAResponse");
    KOVA_EXIT("KOVAResponse::~KOVAResponse");
}

int KOVAResponse::parse(const orbsec_axiscpp::AnyType* response) {
    static constexpr const char* NAME = "KOVAResponse::parse";
    KOVA_ENTER(NAME);
    std::string joined;
    std::string_view text = responseText(response, joined);  // ends with a NUL byte either way
    KOVA_TRACE(6, "XACML Response: %s\n", text.data());
    KOVA_TRACE(9, "Checking if we are permitted...");
    for (const auto& candidate : DECISIONS) {
        if (text.find(candidate.marker) != std::string::npos) {
            m_decision = candidate.decision;
            break;
        }
    }
    m_permitted = m_decision && strcmp(m_decision, "Permit") == 0;
    KOVA_TRACE(9, "...finished checking");

    if (m_permitted || (m_decision && strcmp(m_decision, "Deny") == 0)) {
        KOVA_TRACE(9, "PDP decision is \"Permit\" or \"Deny\"");
        findObligation(text);
        searchForTransID(text.data());
    } else {
        KOVA_TRACE(9, "PDP decision is NOT \"Permit\" or \"Deny\"");
    }
    KOVA_EXIT_STATUS(NAME, 0);
    return 0;
}

// The id runs from after ObligationId=" to the first quote directly followed by "><".
void KOVAResponse::findObligation(std::string_view text) {
    std::size_t marker = text.find(OBLIGATION_MARKER);
    if (marker == std::string::npos) return;
    KOVA_TRACE(9, "But there's an obligation");
    std::size_t start = marker + strlen(OBLIGATION_MARKER);
    std::size_t end = text.find("\"><", start);
    if (end == std::string::npos) {
        KOVA_TRACE(1, "Error retrieving obligation id from PDP. This is a bug, either with MOXT or the KOVA EAS.");
        KOVAServiceability::printMessage(QLXBA0310W);
        m_permitted = false;
        return;
    }
    m_obligationID.assign(text.substr(start, end - start));
    m_hasObligation = true;
}

void KOVAResponse::searchForTransID(const char* text) {
    static constexpr const char* NAME = "KOVAResponse::searchForTransID";
    KOVA_TRACE(6, "Enter %s ptr[%s]", NAME, kova_str(text));
    extractTransID(text);
    KOVA_EXIT(NAME);
}

// The transaction id is the text between the first ">" after its attribute id and the next "<".
void KOVAResponse::extractTransID(const char* text) {
    if (!text) {
        KOVA_TRACE(1, "ERROR: Caller passed in NULL ptr");
        return;
    }
    const char* attribute = strstr(text, TRANS_ID_ATTRIBUTE);
    if (!attribute) {
        KOVA_TRACE(9, "Did not find TRANS_ID_ATTRIBUTE [%s] in XACML response", TRANS_ID_ATTRIBUTE);
        return;
    }
    KOVA_TRACE(9, "Found TRANS_ID_ATTRIBUTE[%s]", TRANS_ID_ATTRIBUTE);
    const char* open = strchr(attribute, '>');
    if (!open) {
        KOVA_TRACE(1, "ERROR: But we couldn't find a > character after that");
        return;
    }
    KOVA_TRACE(9, "  and we found a > after that.  The next part should be the actual trans ID");
    KOVA_TRACE(9, "  trans ID starts here[%s]", open + 1);
    const char* close = strchr(open + 1, '<');
    if (!close) {
        KOVA_TRACE(1, "ERROR: But we didn't find a < character after that");
        return;
    }
    m_transID.assign(open + 1, close);
    KOVA_TRACE(9, "Set m_transID to[%s]", m_transID.c_str());
}
