// Shared parts of the benchmarks.
#pragma once

#include <curl/curl.h>
#include <sys/types.h>

#include <string>
#include <string_view>

#include "rba/stub/AuthzService.h"

namespace kova_bench {

// A bare libcurl keep-alive POST of fixed bytes: the least any SOAP client must spend per exchange.
class BarePost {
public:
    BarePost(const std::string& url, std::string body) : m_curl(curl_easy_init()), m_body(std::move(body)) {
        m_headers = curl_slist_append(nullptr, "Content-Type: text/xml; charset=utf-8");
        m_headers = curl_slist_append(m_headers, (std::string("SOAPAction: \"") + KOVA_SOAP_ACTION + "\"").c_str());
        m_headers = curl_slist_append(m_headers, "Expect:");
        curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, m_headers);
        curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, m_body.data());
        curl_easy_setopt(m_curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(m_body.size()));
        curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, appendTo);
        curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &m_response);
    }
    ~BarePost() {
        curl_slist_free_all(m_headers);
        curl_easy_cleanup(m_curl);
    }
    BarePost(const BarePost&) = delete;
    BarePost& operator=(const BarePost&) = delete;

    bool post() {
        m_response.clear();
        return curl_easy_perform(m_curl) == CURLE_OK && !m_response.empty();
    }

private:
    static size_t appendTo(char* data, size_t size, size_t count, void* out) {
        static_cast<std::string*>(out)->append(data, size * count);
        return size * count;
    }

    CURL* m_curl;
    curl_slist* m_headers;
    std::string m_body;
    std::string m_response;
};

// The floor under any HTTP client: one keep-alive TCP connection, the whole request (head and the same
// bytes, SOAPAction and content type as BarePost) in one write, the answer read up to its Content-Length.
class RawPost {
public:
    RawPost(const std::string& url, const std::string& body);
    ~RawPost();
    RawPost(const RawPost&) = delete;
    RawPost& operator=(const RawPost&) = delete;

    bool post();

private:
    bool readAnswer();

    int m_socket = -1;
    std::string m_request;
    std::string m_answer;
};

// Heap blocks (malloc, calloc, realloc, aligned forms) the calling thread asked for so far.
unsigned long threadAllocations();

// CPU time all threads of a process have run so far, in microseconds (the scheduler's own count).
double processCpuMicros(pid_t pid);

}  // namespace kova_bench
