#include "orbsec_axiscpp/axis.h"

#include <new>

#include "qzcore/thread_spares.h"

namespace orbsec_axiscpp {

namespace {

void freeBlock(void* block) { ::operator delete(block); }
// Blocks of deleted response objects, kept by the thread that deleted them.
thread_local zem::ThreadSpares<void, 4, freeBlock> t_keptAnyTypes;

}  // namespace

void* AnyType::operator new(std::size_t size) {
    void* kept = size == sizeof(AnyType) ? t_keptAnyTypes.take() : nullptr;
    return kept ? kept : ::operator new(size);
}

void AnyType::operator delete(void* object) noexcept {
    if (object) t_keptAnyTypes.keep(object);
}

SoapFaultException::SoapFaultException(const char* code, const char* string, const char* actor, const char* detail,
                                       int exceptionCode)
    : AxisException(exceptionCode, string ? string : ""),
      m_faultCode(code ? code : ""),
      m_faultString(string ? string : ""),
      m_faultActor(actor ? actor : ""),
      m_detail(detail ? detail : "") {}

// The URL's scheme chooses http or https; every exchange uses HTTP/1.1 so that connections persist,
// whatever protocol value the stub was made with.
Stub::Stub(const char* endpoint, AXIS_PROTOCOL_TYPE protocol) : m_pCall(new Call) { m_pCall->setEndpointURI(endpoint); }

Stub::~Stub() { delete m_pCall; }

void Stub::setEndpoint(const char* endpoint) { m_pCall->setEndpointURI(endpoint); }

// The stub keeps no preferences of its own: everything is set on the call directly.
void Stub::applyUserPreferences() {}

}  // namespace orbsec_axiscpp
