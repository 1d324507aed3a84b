// The yardstick of the benchmarks: the same POST made with plain libcurl,
// without the headers the library does not send; a new easy handle per call,
// or one kept for every call (libcurl's own reuse of its connection).
#ifndef NALPOICOMM_BENCH_BARE_CURL_POST_H
#define NALPOICOMM_BENCH_BARE_CURL_POST_H

#include <curl/curl.h>

#include <cstddef>
#include <string>

namespace bench {

inline std::size_t CollectReply(char* data, std::size_t size, std::size_t count, void* out) {
    if (out != nullptr) static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// Sets up `easy` to POST `body` to `url` as "RuzOruz"; the reply body goes to
// `reply` unless it is null. An https URL is verified against `caFile` (else
// the system store). The header list is the caller's to free after the last
// transfer; both strings must outlive it too.
inline curl_slist* PrepareBarePost(CURL* easy, const std::string& url, const std::string& body,
                                   std::string* reply, const char* caFile) {
    if (caFile != nullptr) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile);
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type:");
    headers = curl_slist_append(headers, "Accept:");
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "RuzOruz");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CollectReply);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, reply);
    return headers;
}

// One POST on a new easy handle, as above.
inline bool BareCurlPost(const std::string& url, const std::string& body, std::string* reply,
                         const char* caFile = nullptr) {
    CURL* easy = curl_easy_init();
    curl_slist* headers = PrepareBarePost(easy, url, body, reply, caFile);
    const CURLcode rc = curl_easy_perform(easy);
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    return rc == CURLE_OK;
}

}  // namespace bench

#endif
