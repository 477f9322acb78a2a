#include "orbsec_axiscpp/axis.h"

#include <array>
#include <new>

namespace orbsec_axiscpp {

namespace {

// Blocks of deleted response objects, kept by the thread that deleted them (at most KEPT_BLOCKS).
class KeptAnyTypes {
public:
    KeptAnyTypes() = default;
    KeptAnyTypes(const KeptAnyTypes&) = delete;
    KeptAnyTypes& operator=(const KeptAnyTypes&) = delete;
    // A delete during the thread's exit, after this is gone, frees the block at once.
    ~KeptAnyTypes() {
        while (m_count) ::operator delete(m_blocks[--m_count]);
        m_closed = true;
    }

    void* take() { return m_count ? m_blocks[--m_count] : nullptr; }
    bool keep(void* block) {
        if (m_closed || m_count == KEPT_BLOCKS) return false;
        m_blocks[m_count++] = block;
        return true;
    }

private:
    static constexpr std::size_t KEPT_BLOCKS = 4;
    std::array<void*, KEPT_BLOCKS> m_blocks{};
    std::size_t m_count = 0;
    bool m_closed = false;
};
thread_local KeptAnyTypes t_keptAnyTypes;

}  // namespace

void* AnyType::operator new(std::size_t size) {
    void* kept = size == sizeof(AnyType) ? t_keptAnyTypes.take() : nullptr;
    return kept ? kept : ::operator new(size);
}

void AnyType::operator delete(void* object) noexcept {
    if (object && !t_keptAnyTypes.keep(object)) ::operator delete(object);
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
