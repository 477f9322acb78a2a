// Recognises the decision, the obligation and the transaction id in the PDP's XACML response text.
#pragma once

#include <string>
#include <string_view>

#include "orbsec_axiscpp/axis.h"

class KOVAResponse {
public:
    KOVAResponse();
    ~KOVAResponse();
    KOVAResponse(const KOVAResponse&) = delete;
    KOVAResponse& operator=(const KOVAResponse&) = delete;

    int parse(const orbsec_axiscpp::AnyType* response);
    void searchForTransID(const char* text);

    bool isPermitted() const { return m_permitted; }
    const char* getObligationID() const { return m_hasObligation ? m_obligationID.c_str() : nullptr; }
    const char* getDecision() const { return m_decision; }
    const char* getTransID() const { return m_transID.empty() ? nullptr : m_transID.c_str(); }

private:
    void findObligation(std::string_view text);
    void extractTransID(const char* text);

    bool m_permitted = false;
    std::string m_obligationID;
    bool m_hasObligation = false;
    const char* m_decision = nullptr;
    std::string m_transID;
};
