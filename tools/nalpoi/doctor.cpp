#include "doctor.h"

#include <curl/curl.h>
#include <sys/stat.h>
#include <tinyxml.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "NalPoiComm.h"
#include "encoding/base64.h"
#include "encoding/request_documents.h"
#include "exchanges.h"
#include "interface/exchange_sequence.h"
#include "platform/posix/header_lines.h"
#include "platform/posix/tls_policy.h"
#include "record_text.h"
#include "result_meanings.h"
#include "service_config_file.h"
#include "transport/exchange_worker.h"
#include "transport/install_paths.h"
#include "transport/service_config.h"
#include "transport/service_url.h"
#include "transport/text_conversion.h"

namespace nalpoicomm {
namespace {


class Doctor {
public:
    explicit Doctor(DoctorReport& report) : report_(report) {}

    void Pass(const char* name, std::string detail, std::string hint = "") {
        report_.steps.push_back({name, true, std::move(detail), std::move(hint)});
    }
    void Fail(const char* name, std::string detail, std::string hint) {
        report_.steps.push_back({name, false, std::move(detail), std::move(hint)});
        report_.failedStep = name;
    }
    void Note(std::string text) { report_.notes.push_back(std::move(text)); }

private:
    DoctorReport& report_;
};

const char kConfigHint[] = "write it with: nalpoi config --url http://HOST:PORT/PATH";

std::string ConfigProblem(const ServiceConfigReading& reading, std::string& hint) {
    hint = reading.problem == ServiceConfigProblem::kTooLong
               ? "the library takes a URL of at most 99 bytes and never cuts one: shorten the "
                 "host or the path"
               : kConfigHint;
    return ServiceConfigReadingProblem(reading);
}

std::string Narrow(const WCHAR* wide) {
    char text[kUrlPartChars * 4] = {};
    WideToAnsi(wide, text, sizeof text);
    return text;
}

struct Received {
    std::vector<std::string> headers;   // of the final response
    std::string body;
    long status = 0;
};

std::size_t TakeHeader(char* data, std::size_t size, std::size_t count, void* raw) {
    auto* received = static_cast<Received*>(raw);
    std::string line(data, size * count);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.compare(0, 5, "HTTP/") == 0) {
        received->headers.clear();
    } else if (!line.empty()) {
        received->headers.push_back(line);
    }
    return size * count;
}

std::size_t TakeBody(char* data, std::size_t size, std::size_t count, void* raw) {
    auto* received = static_cast<Received*>(raw);
    received->body.append(data, size * count);
    return size * count;
}

std::string ProxyInUse(bool secure) {
    const char* const names[] = {secure ? "https_proxy" : "http_proxy",
                                 secure ? "HTTPS_PROXY" : "HTTP_PROXY", "all_proxy", "ALL_PROXY"};
    for (const char* name : names) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != 0) return std::string(" (proxy from ") + name + ": " + value + ")";
    }
    return std::string();
}

bool IsBase64Byte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=' || c == '\r' || c == '\n';
}

// The first Status element of 0 or 2 decides an update's result.
void NoteStatus(const TiXmlElement& root, Doctor& doctor) {
    for (const TiXmlElement* child = root.FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        if (std::strcmp(child->Value(), "Status") != 0 || child->GetText() == nullptr) continue;
        const std::string status = child->GetText();
        if (status == "0") {
            doctor.Note("the reply's Status is 0: the host gets 219 (no POI with that ID)");
            return;
        }
        if (status == "2") {
            doctor.Note("the reply's Status is 2: the host gets 620 (the request was not understood)");
            return;
        }
    }
}

std::string TrustSource() {
    const char* file = std::getenv("SSL_CERT_FILE");
    const char* dir = std::getenv("SSL_CERT_DIR");
    if (file != nullptr && *file != 0) return std::string("SSL_CERT_FILE ") + file;
    if (dir != nullptr && *dir != 0) return std::string("SSL_CERT_DIR ") + dir;
    return "the system's trust store";
}

// The tls step: why the handshake failed, named, with what to do about it.
void FailTls(TlsFailure failure, const std::string& host, const std::string& where,
             const char* words, Doctor& doctor) {
    const std::string said = *words != 0 ? std::string(" (") + words + ")" : std::string();
    switch (failure) {
        case TlsFailure::kUntrustedIssuer:
            doctor.Fail("tls", "untrusted issuer: the certificate's chain ends at no CA in " +
                                   TrustSource() + said,
                        "to trust a private CA, set SSL_CERT_FILE=/path/to/ca.pem (or SSL_CERT_DIR) "
                        "in the host's environment, or add it to the system store "
                        "(/usr/local/share/ca-certificates, then update-ca-certificates)");
            return;
        case TlsFailure::kNameMismatch:
            doctor.Fail("tls", "name mismatch: the certificate is not for " + host + said,
                        "the URL's host must be a DNS name or IP address in the certificate's "
                        "subjectAltName: use that name, or reissue the certificate");
            return;
        case TlsFailure::kNotValidNow:
            doctor.Fail("tls", "the certificate is expired or not yet valid" + said,
                        "renew the service's certificate, or check this machine's clock");
            return;
        case TlsFailure::kNotTls:
            doctor.Fail("tls", "not TLS: the service at " + where + " answers in plain HTTP" + said,
                        "use an http:// URL for a plain service, or give the service a certificate");
            return;
        case TlsFailure::kProtocol:
        case TlsFailure::kNone:
            doctor.Fail("tls", std::string("protocol: the TLS handshake failed") + said,
                        "the service must offer TLS 1.2 or later with a certificate for " + host);
            return;
    }
}

// The probe of the exchange itself, from the split URL on. False once a
// step has failed.
bool ProbeExchange(const std::string& host, INTERNET_PORT port, const std::string& path,
                   bool secure, const std::string& id, Doctor& doctor) {
    __POIINFO__ query{};
    CopyIntoField(query.ID, id);
    const std::unique_ptr<char[]> request(BuildUpdateRequest(query));
    const std::string hostPart = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    const std::string url = (secure ? "https://" : "http://") + hostPart + ":" + std::to_string(port) +
                            (path.empty() || path[0] != '/' ? "/" : "") + path;

    Received received;
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        doctor.Fail("connect", "libcurl could not start", "out of memory?");
        return false;
    }
    curl_slist* headers = nullptr;
    for (const char* suppressed : {"Accept:", "Content-Type:", "Expect:"}) {
        headers = curl_slist_append(headers, suppressed);
    }
    char words[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, words);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http");
    if (secure) ApplyTlsPolicy(easy);  // the library's own verification
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "RuzOruz");
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.get());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(kUpdateTimeLimitMs));
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &TakeHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &received);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &TakeBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &received);
    const CURLcode code = curl_easy_perform(easy);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &received.status);
    long connected = 0;
    curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connected);
    const TlsFailure tls = secure ? ClassifyTlsFailure(easy, code, words) : TlsFailure::kNone;
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);

    const std::string where = hostPart + ":" + std::to_string(port);
    if (code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_RESOLVE_PROXY) {
        doctor.Fail("connect", "host " + host + " cannot be resolved" + ProxyInUse(secure),
                    "check the host name in the URL");
        return false;
    }
    if (code == CURLE_COULDNT_CONNECT || (code == CURLE_OPERATION_TIMEDOUT && connected == 0)) {
        doctor.Fail("connect",
                    (code == CURLE_COULDNT_CONNECT ? "refused or unreachable: " : "no answer from ") +
                        where + ProxyInUse(secure),
                    "is the service running and listening there? nalpoi-service prints "
                    "'listening on' with its URL");
        return false;
    }
    doctor.Pass("connect", where + ProxyInUse(secure));
    if (secure) {
        if (tls != TlsFailure::kNone) {
            FailTls(tls, host, where, words, doctor);
            return false;
        }
        if (received.status != 0 || code == CURLE_OK) {
            doctor.Pass("tls", "peer verified for " + host + " against " + TrustSource());
        }
    }
    if (received.status == 0) {
        std::string detail = "no reply came: ";
        if (code == CURLE_OPERATION_TIMEDOUT) {
            detail += "none within 20 s (the host gets -9)";
        } else if (code == CURLE_GOT_NOTHING) {
            detail += "the service closed the connection without a reply";
        } else {
            detail += curl_easy_strerror(code);
        }
        doctor.Fail("send", detail,
                    secure ? "look at the service's log: it dropped the request"
                           : "look at the service's log: it dropped the request (a TLS service "
                             "drops a plain one: is its URL https://?)");
        return false;
    }
    doctor.Pass("send", "POST " + path + ", " + std::to_string(std::strlen(request.get())) +
                            " bytes; HTTP status " + std::to_string(received.status));
    if (received.status != 200) {
        doctor.Note("HTTP status " + std::to_string(received.status) +
                    ": the library does not read the status and goes on with the body");
    }

    // Content-Length as the library reads it: the first header, decimal digits.
    const char* lengthText = FindHeader(received.headers, "Content-Length");
    const char* encoding = FindHeader(received.headers, "Transfer-Encoding");
    if (lengthText == nullptr) {
        doctor.Fail("length",
                    encoding != nullptr ? std::string("no Content-Length: the reply is ") + encoding
                                        : std::string("no Content-Length"),
                    "the service must announce the body's length (1 to 30719), not chunk it");
        return false;
    }
    std::uint64_t length = 0;
    for (const char* digit = lengthText; *digit >= '0' && *digit <= '9' && length <= 0xFFFFFFFFull;
         ++digit) {
        length = length * 10 + static_cast<std::uint64_t>(*digit - '0');
    }
    if (length == 0 || length >= kReplyStoreSize) {
        doctor.Fail("length", std::string("Content-Length ") + lengthText,
                    "the library takes a Content-Length of 1 to 30719 only");
        return false;
    }
    doctor.Pass("length", std::string("Content-Length ") + lengthText);

    std::string body = received.body.substr(0, static_cast<std::size_t>(length));
    if (body.size() < length) {
        doctor.Pass("body",
                    "warning: " + std::to_string(body.size()) + " of " + std::to_string(length) +
                        " bytes arrived; the library goes on with them",
                    "the service closed the connection before the whole body");
    } else {
        doctor.Pass("body", std::to_string(body.size()) + " bytes");
    }

    for (std::size_t i = 0; i < body.size(); ++i) {
        if (!IsBase64Byte(static_cast<unsigned char>(body[i]))) {
            doctor.Fail("decode", "the body is not base64: byte " + std::to_string(i) + " is 0x" +
                                      [&] {
                                          char hex[3];
                                          std::snprintf(hex, sizeof hex, "%02x",
                                                        static_cast<unsigned char>(body[i]));
                                          return std::string(hex);
                                      }(),
                        "the reply body must be base64 of an XML document");
            return false;
        }
    }
    const std::string decoded = Base64Decode(body);
    const std::string text = decoded.substr(0, std::strlen(decoded.c_str()));
    if (text.size() < 2) {
        doctor.Fail("decode", "the body decodes to " + std::to_string(text.size()) + " characters",
                    "the reply body must be base64 of an XML document");
        return false;
    }
    doctor.Pass("decode", std::to_string(text.size()) + " characters");

    TiXmlDocument document;
    document.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    const TiXmlElement* root = document.FirstChildElement();
    if (root == nullptr) {
        doctor.Fail("document", "the decoded reply holds no element" +
                                    (document.Error() ? std::string(": ") + document.ErrorDesc()
                                                      : std::string()),
                    "the reply must be an XML document such as <Poi>...</Poi>");
        return false;
    }
    doctor.Pass("document", std::string("root element <") + root->Value() + ">" +
                                (document.Error() ? std::string(" (") + document.ErrorDesc() +
                                                       "; the library reads what came before)"
                                                 : std::string()));
    NoteStatus(*root, doctor);
    return true;
}

}  // namespace

DoctorReport RunDoctor(const std::string& id) {
    DoctorReport report;
    Doctor doctor(report);
    curl_global_init(CURL_GLOBAL_DEFAULT);

    ServiceConfigReading reading;
    WCHAR* wide = ReadServiceUrl(&reading);
    const std::unique_ptr<WCHAR, decltype(&std::free)> url(wide, &std::free);
    if (url == nullptr) {
        std::string hint;
        const std::string problem = ConfigProblem(reading, hint);
        doctor.Fail("config", problem, hint);
    } else {
        doctor.Pass("config", reading.path + ": " + reading.url);
        ServiceUrlParts parts;
        if (!SplitServiceUrl(url.get(), parts)) {
            doctor.Fail("url", "the URL cannot be split: " + reading.url,
                        "give a URL such as http://127.0.0.1:8080/poi");
        } else {
            const std::string hostText = Narrow(parts.host);
            const std::string pathText = Narrow(parts.path);
            doctor.Pass("url", "host " + hostText + ", port " + std::to_string(parts.port) +
                                   ", path " + (pathText.empty() ? "/" : pathText) +
                                   (parts.secure ? ", TLS" : ""));
            ProbeExchange(hostText, parts.port, pathText, parts.secure, id, doctor);
        }
    }

    // The call's own reply is shown only if the call wrote cc.xml: a file
    // left by an earlier exchange says nothing about this one.
    char cache[kPathChars];
    const bool treeFound = FormConfigPath(kReplyCacheFormat, cache);
    struct stat before {};
    const bool existed = treeFound && stat(cache, &before) == 0;

    UpdateOutcome outcome;
    RunUpdate({"", "", id, ""}, outcome);
    report.result = outcome.result;

    struct stat after {};
    if (treeFound && stat(cache, &after) == 0 &&
        (!existed || after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
         after.st_mtim.tv_nsec != before.st_mtim.tv_nsec || after.st_size != before.st_size)) {
        if (std::FILE* file = std::fopen(cache, "rb")) {
            char chunk[4096];
            std::size_t got;
            while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) report.reply.append(chunk, got);
            std::fclose(file);
            report.replyWritten = true;
        }
    }
    const int result = report.result;
    report.works = report.failedStep.empty() && result != NALPOI_RESULT_NO_ELEMENT &&
                   result != NALPOI_RESULT_EXCHANGE_FAILED && result != NALPOI_RESULT_NO_REPLY &&
                   result != NALPOI_RESULT_TIMED_OUT;
    return report;
}

}  // namespace nalpoicomm
