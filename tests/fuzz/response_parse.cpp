// KOVAResponse::parse over arbitrary response text in one to three pieces (the input's first two NUL
// bytes cut it). Whatever the text, the answer must not depend on where the SOAP layer cut it, a permit
// must carry the Permit decision, only a Permit or Deny yields an obligation or a transaction id, an
// obligation id ends before the first quote that closes its start tag, and what is cut out must come
// from the text.
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "rba/KOVAResponse.h"

namespace {

struct Parsed {
    bool permitted;
    std::string decision, obligation, transID;
    bool hasObligation, hasTransID;

    bool operator==(const Parsed&) const = default;
};

std::string orEmpty(const char* text) { return text ? text : ""; }

Parsed parse(std::vector<char*>& pieces) {
    orbsec_axiscpp::AnyType any(pieces.data(), static_cast<int>(pieces.size()));
    KOVAResponse response;
    response.parse(&any);
    return {response.isPermitted(),         orEmpty(response.getDecision()),       orEmpty(response.getObligationID()),
            orEmpty(response.getTransID()), response.getObligationID() != nullptr, response.getTransID() != nullptr};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kova_fuzz::quietHost();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> texts = kova_fuzz::cutAtNul(data, size, 3);
    std::string joined;
    std::vector<char*> pieces;
    for (std::string& text : texts) {
        text.resize(std::strlen(text.c_str()));  // a piece is a C text
        joined += text;
        pieces.push_back(text.data());
    }
    Parsed split = parse(pieces);
    std::vector<char*> whole{joined.data()};
    Parsed single = parse(whole);

    if (!(split == single)) kova_fuzz::broken("the answer depends on how the response was cut", joined);
    if (split.permitted && split.decision != "Permit") kova_fuzz::broken("permitted without a Permit decision", joined);
    bool permitOrDeny = split.decision == "Permit" || split.decision == "Deny";
    if (!permitOrDeny && (split.hasObligation || split.hasTransID))
        kova_fuzz::broken("obligation or transaction id read from a response that is neither Permit nor Deny", joined);
    if (split.obligation.find("\"><") != std::string::npos)
        kova_fuzz::broken("obligation id runs past the end of its start tag", joined);
    if (split.hasObligation && joined.find(split.obligation) == std::string::npos)
        kova_fuzz::broken("obligation id not taken from the response", joined);
    if (split.hasTransID && joined.find(split.transID) == std::string::npos)
        kova_fuzz::broken("transaction id not taken from the response", joined);
    return 0;
}
