#include "nvwsoap/cluster_impl.h"

namespace {

struct Attempt {
    int status;
    bool endpointFailed;  // the endpoint could not be reached or did not answer in time
    std::string reason;   // the transport's words for a failure
};

bool isEndpointFailure(int code) {
    switch (code) {
        case orbsec_axiscpp::SERVER_TRANSPORT_CONNECT_FAILED:
        case orbsec_axiscpp::SERVER_TRANSPORT_TIMEOUT:
        case orbsec_axiscpp::SERVER_TRANSPORT_HTTP_ERROR:
        case orbsec_axiscpp::SERVER_TRANSPORT_TLS_FAILED:
        case orbsec_axiscpp::SERVER_TRANSPORT_FAILED: return true;
        default: return false;
    }
}

// A failed exchange is traced as fields (call name, "exchange failed", url, code, reason) for tools to read.
// One soapCall with its own copy of the arguments, so that a failed attempt can be repeated on the
// next endpoint. Nothing it throws leaves here.
Attempt attemptOnce(NVWSOAPCall& call, NVWSOAPHandle* handle, const char* url, va_list args, NVWSOAPTrace* trace) {
    va_list copy;
    va_copy(copy, args);
    Attempt result{0, false, {}};
    try {
        result.status = call.mapError(call.soapCall(handle, url, copy));
    } catch (const orbsec_axiscpp::AxisException& e) {
        NVWSOAP_TRACE(trace, 3, "%s: exchange failed: url[%s] code[%d] reason[%s]", call.name(), url,
                      e.getExceptionCode(), e.what());
        result = {NVWSOAP_S_TRANSPORT, isEndpointFailure(e.getExceptionCode()), e.what()};
    } catch (const std::exception& e) {
        NVWSOAP_TRACE(trace, 3, "%s: exchange failed: url[%s] reason[%s]", call.name(), url, e.what());
        result = {NVWSOAP_S_TRANSPORT, false, e.what()};
    } catch (...) {
        NVWSOAP_TRACE(trace, 3, "%s: exchange failed: url[%s] reason[unknown failure]", call.name(), url);
        result = {NVWSOAP_S_TRANSPORT, false, "unknown failure"};
    }
    va_end(copy);
    return result;
}

}  // namespace

NVWSOAPCall::NVWSOAPCall(const char* name, bool traceCalls, NVWSOAPClusterMember* member, NVWSOAPTrace* trace)
    : m_trace(trace), m_name(name ? name : ""), m_traceCalls(traceCalls), m_member(member) {}

NVWSOAPCall::~NVWSOAPCall() = default;

int NVWSOAPCall::mapError(int status) { return status; }

bool NVWSOAPCall::hasRecovered(int status) { return status == 0; }

int NVWSOAPCall::execute(NVWSOAPCluster* cluster, NVWSOAPHandleMgr::HandleRef* ref, bool* recovered, ...) {
    // Without a reference from the caller, the handle goes back as soon as the exchange is over.
    NVWSOAPHandleMgr::HandleRef own;
    NVWSOAPHandleMgr::HandleRef* lent = ref ? ref : &own;
    va_list args;
    va_start(args, recovered);
    NVWSOAPTrace* trace = m_traceCalls ? m_trace : nullptr;
    int status = NVWSOAP_S_NO_ENDPOINT;
    bool failedOver = false;
    if (m_member) {
        // A health check: the member's own stubless handle, no pool, no failover.
        status = attemptOnce(*this, m_member->pingHandle(), m_member->url(), args, trace).status;
    } else if (!cluster || !cluster->impl()->running) {
        status = NVWSOAP_S_NOT_RUNNING;
    } else {
        cluster->impl()->tryMembers([&](NVWSOAPClusterMember& member) {
            NVWSOAPHandleContainer* container = member.pool().borrow();
            if (!container) {
                status = NVWSOAP_S_NO_HANDLE;
                return false;
            }
            *lent = {container, &member.pool()};
            Attempt attempt = attemptOnce(*this, &container->handle, member.url(), args, trace);
            status = attempt.status;
            if (!attempt.endpointFailed) return true;
            cluster->impl()->reportFailure(member, attempt.reason);
            member.pool().returnHandle(container);
            *lent = {};
            failedOver = true;
            return false;
        });
    }
    va_end(args);
    if (own.container) own.mgr->returnHandle(own.container);
    if (recovered) *recovered = failedOver;
    NVWSOAP_TRACE(trace, 8, "%s: status 0x%x", name(), static_cast<unsigned>(status));
    return status;
}
