// The host's reading of a SOAP response over arbitrary bytes, the way the stub and the decision use it:
// the envelope parsed by one reader kept across exchanges (as a pooled handle keeps it), the body's
// content pieces handed to the plug-in's response parser and released by the plug-in, and a fault's
// parts and detail read out.
#include "orbsec_axiscpp/soap_response.h"
#include "fuzz/fuzz_support.h"
#include "rba/KOVAResponse.h"

namespace {

void readContent(orbsec_axiscpp::SoapResponse& response) {
    orbsec_axiscpp::AnyType* content = response.contentPieces();
    if (!content) return;
    for (int i = 0; i < content->_size; ++i)
        if (!content->_array[i]) kova_fuzz::broken("content piece without text", "");
    KOVAResponse decision;
    decision.parse(content);
    kova_eas_cleanup(&content);
}

void readFault(orbsec_axiscpp::SoapResponse& response) {
    delete response.fault("Fault");
    delete[] response.faultDetailXml();
    (void)response.faultString();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kova_fuzz::quietHost();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static orbsec_axiscpp::SoapResponse response;
    if (!response.parse(std::string(reinterpret_cast<const char*>(data), size))) return 0;
    // Whatever the body element is named: the reader must cope before the stub checks the name.
    if (response.isFault()) {
        readFault(response);
    } else {
        readContent(response);
    }
    return 0;
}
