#include "doctor.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "exchanges.h"
#include "nalpoicomm_seam.h"
#include "record_text.h"
#include "result_meanings.h"
#include "service_config_file.h"

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

// What the library's worker told, step by step, of the one exchange the
// doctor asks of it. Called on the worker's thread; read after the call.
class Observations final : public ExchangeObserver {
public:
    bool configRead = false, urlSeen = false, urlSplit = false, sentSeen = false;
    bool lengthSeen = false, bodySeen = false, decodedSeen = false;
    ServiceConfigReading reading;
    ServiceUrlParts parts;
    std::size_t requestBytes = 0;
    DWORD sendError = ERROR_SUCCESS, status = 0, lengthError = ERROR_SUCCESS, length = 0;
    DWORD announced = 0;
    std::string words, body, decoded;

    void ConfigRead(const ServiceConfigReading& found) override {
        Keep([&] { reading = found; }, configRead);
    }
    void UrlSplit(bool split, const ServiceUrlParts& split_parts) override {
        Keep([&] { urlSplit = split; parts = split_parts; }, urlSeen);
    }
    void Sent(std::size_t bytes, DWORD error, DWORD code, const char* said) override {
        Keep([&] { requestBytes = bytes; sendError = error; status = code; words = said; }, sentSeen);
    }
    void LengthRead(DWORD error, DWORD value) override {
        Keep([&] { lengthError = error; length = value; }, lengthSeen);
    }
    void BodyRead(const char* raw, std::size_t bytes, DWORD announcedLength) override {
        Keep([&] { body.assign(raw, bytes); announced = announcedLength; }, bodySeen);
    }
    void Decoded(const char* text, std::size_t bytes) override {
        Keep([&] { decoded.assign(text, bytes); }, decodedSeen);
    }

private:
    // An observer must not throw into the worker: a copy that fails is a
    // step not seen.
    template <typename Copy>
    static void Keep(Copy copy, bool& seen) noexcept {
        try {
            copy();
            seen = true;
        } catch (...) {
        }
    }
};

// WinINet's other certificate errors, which the platform layer does not give.
constexpr DWORD kSecCertErrors = 12055;   // ERROR_INTERNET_SEC_CERT_ERRORS
constexpr DWORD kSecInvalidCert = 12169;  // ERROR_INTERNET_SEC_INVALID_CERT

const char kConfigHint[] = "write it with: nalpoi config --url http://HOST:PORT/PATH";

std::string Narrow(const WCHAR* wide) {
    char text[kUrlPartChars * 4] = {};
    WideToAnsi(wide, text, sizeof text);
    return text;
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

std::string TrustSource() {
#if defined(_WIN32)
    return "the system's ROOT store";
#else
    const char* file = std::getenv("SSL_CERT_FILE");
    const char* dir = std::getenv("SSL_CERT_DIR");
    if (file != nullptr && *file != 0) return std::string("SSL_CERT_FILE ") + file;
    if (dir != nullptr && *dir != 0) return std::string("SSL_CERT_DIR ") + dir;
    return "the system's trust store";
#endif
}

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

bool IsTlsError(DWORD error) {
    return error == ERROR_INTERNET_INVALID_CA || error == ERROR_INTERNET_SEC_CERT_CN_INVALID ||
           error == ERROR_INTERNET_SEC_CERT_DATE_INVALID ||
           error == ERROR_INTERNET_SECURITY_CHANNEL_ERROR || error == kSecCertErrors ||
           error == kSecInvalidCert;
}

// The tls step: why the handshake failed, named, with what to do about it.
void FailTls(DWORD error, const std::string& host, const std::string& where,
             const std::string& words, Doctor& doctor) {
    const std::string said = words.empty() ? std::string() : " (" + words + ")";
    if (error == ERROR_INTERNET_INVALID_CA) {
        doctor.Fail("tls", "untrusted issuer: the certificate's chain ends at no CA in " +
                               TrustSource() + said,
#if defined(_WIN32)
                    "to trust a private CA, add it to the ROOT store: certutil -addstore Root ca.cer"
#else
                    "to trust a private CA, set SSL_CERT_FILE=/path/to/ca.pem (or SSL_CERT_DIR) in "
                    "the host's environment, or add it to the system store "
                    "(/usr/local/share/ca-certificates, then update-ca-certificates)"
#endif
        );
    } else if (error == ERROR_INTERNET_SEC_CERT_CN_INVALID) {
        doctor.Fail("tls", "name mismatch: the certificate is not for " + host + said,
                    "the URL's host must be a DNS name or IP address in the certificate's "
                    "subjectAltName: use that name, or reissue the certificate");
    } else if (error == ERROR_INTERNET_SEC_CERT_DATE_INVALID) {
        doctor.Fail("tls", "the certificate is expired or not yet valid" + said,
                    "renew the service's certificate, or check this machine's clock");
    } else if (Contains(words, "wrong version number") || Contains(words, "packet length too long") ||
               Contains(words, "http request")) {
        // OpenSSL's words for a first record that is no TLS record.
        doctor.Fail("tls", "not TLS: the service at " + where + " answers in plain HTTP" + said,
                    "use an http:// URL for a plain service, or give the service a certificate");
    } else {
        doctor.Fail("tls", "protocol: the TLS handshake failed" + said,
                    "the service must offer TLS 1.2 or later with a certificate for " + host);
    }
}

// Why no reply could be taken, in words, from the platform's error.
std::string NoReply(DWORD error, const std::string& words) {
    const std::string said = words.empty() ? std::string() : " (" + words + ")";
    if (error == ERROR_HTTP_INVALID_SERVER_RESPONSE) {
        // The platform's one error for both: nothing came, or no HTTP it can read.
        return "no reply that could be read" + said +
               ": the connection closed before one came, or its head is not HTTP (a broken "
               "status line or header, such as a Content-Length that is no number)";
    }
    if (error == ERROR_INTERNET_CONNECTION_RESET || error == ERROR_INTERNET_CONNECTION_ABORTED) {
        return "no reply: the service reset the connection" + said;
    }
    return "no reply: " + (words.empty() ? "error " + std::to_string(error) : words);
}

// Words for a step the worker never told of, though the one before passed.
std::string NotReached(int result) {
    return result == NALPOI_RESULT_TIMED_OUT ? "not reached within 20 s (the host gets -9)"
                                             : "not reached: the exchange ended before it (out of memory?)";
}

std::string Count(std::size_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string ByteAt(const std::string& bytes, std::size_t at) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned char>(bytes[at]));
    return "byte " + std::to_string(at) + " (" + hex + ")";
}

// The connection, tls and send steps, from what the worker told of sending.
// False once a step has failed.
bool ReportSending(const Observations& seen, int result, Doctor& doctor) {
    const std::string host = Narrow(seen.parts.host);
    const std::string hostPart = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    const std::string where = hostPart + ":" + std::to_string(seen.parts.port);
    const bool secure = seen.parts.secure;
    const std::string proxy = ProxyInUse(secure);
    if (seen.sentSeen && seen.sendError == ERROR_INTERNET_NAME_NOT_RESOLVED) {
        doctor.Fail("connect", "host " + host + " cannot be resolved" + proxy,
                    "check the host name in the URL");
        return false;
    }
    if (seen.sentSeen && seen.sendError == ERROR_INTERNET_CANNOT_CONNECT) {
        doctor.Fail("connect", "refused or unreachable: " + where + proxy,
                    "is the service running and listening there? nalpoi-service prints "
                    "'listening on' with its URL");
        return false;
    }
    doctor.Pass("connect", where + proxy);
    if (secure && seen.sentSeen && IsTlsError(seen.sendError)) {
        FailTls(seen.sendError, host, where, seen.words, doctor);
        return false;
    }
    // A request "sent" without an HTTP status had no response at all: Wine's
    // WinINet reports a connection closed before any answer as a success,
    // and the library's Content-Length query is what then fails.
    const bool unanswered = seen.sentSeen && seen.sendError == ERROR_SUCCESS && seen.status == 0 &&
                            (!seen.lengthSeen || seen.lengthError != ERROR_SUCCESS);
    if (!seen.sentSeen || seen.sendError != ERROR_SUCCESS || unanswered) {
        const std::string detail =
            result == NALPOI_RESULT_TIMED_OUT ? std::string("no reply within 20 s (the host gets -9)")
            : !seen.sentSeen                  ? std::string("no reply: the exchange did not finish")
            : unanswered                      ? NoReply(ERROR_HTTP_INVALID_SERVER_RESPONSE, "")
                                              : NoReply(seen.sendError, seen.words);
        doctor.Fail("send", detail,
                    secure ? "look at the service's log: it dropped the request, or answered "
                             "with a head that is not HTTP"
                           : "look at the service's log: it dropped the request, or answered "
                             "with a head that is not HTTP (a TLS service drops a plain one: "
                             "is its URL https://?)");
        return false;
    }
    if (secure) doctor.Pass("tls", "peer verified for " + host + " against " + TrustSource());
    const std::string path = Narrow(seen.parts.path);
    doctor.Pass("send", "POST " + (path.empty() ? std::string("/") : path) + ", " +
                            std::to_string(seen.requestBytes) + " bytes; HTTP status " +
                            std::to_string(seen.status));
    if (seen.status != 200) {
        doctor.Note("HTTP status " + std::to_string(seen.status) +
                    ": the library does not read the status and goes on with the body");
    }
    return true;
}

// What the library's decoder left aside of the body, and a zero byte that
// ends its text, as notes: the library goes on without them, so none fails a
// step. Gives words for a failed step's hint, empty when there was none.
std::string NoteLeftovers(const Observations& seen, Doctor& doctor) {
    std::string decoded(seen.body.size(), '\0');
    Base64Leftovers left;
    decoded.resize(Base64DecodeInto(seen.body.data(), seen.body.size(), &decoded[0], &left));
    std::string hint;
    if (left.passedOver > 0) {
        doctor.Note("the decoder passed over " + Count(left.passedOver, "byte") +
                    " outside base64 (line breaks not counted), the first at " +
                    ByteAt(seen.body, left.firstPassed));
    }
    if (left.unread > 0) {
        doctor.Note("decoding ended at the \"=\" at byte " + std::to_string(left.endedAt) + ": " +
                    Count(left.unread, "base64 character") + " after it were not decoded");
    }
    if (left.passedOver > 0 || left.unread > 0) hint = "; this one is not clean base64 (see the notes)";
    if (decoded.size() > seen.decoded.size()) {
        doctor.Note("the decoded reply holds a zero byte at byte " + std::to_string(seen.decoded.size()) +
                    " of " + std::to_string(decoded.size()) + ": the library reads the text before it");
        hint += "; its text ends at a zero byte (see the notes)";
    }
    return hint;
}

// The length, body, decode and document steps, each judged by the
// library's own test of it. False once a step has failed.
bool ReportReply(const Observations& seen, int result, Doctor& doctor) {
    if (!seen.lengthSeen) {
        doctor.Fail("length", NotReached(result), "look at the service's log");
        return false;
    }
    if (seen.lengthError != ERROR_SUCCESS) {
        doctor.Fail("length",
                    seen.lengthError == ERROR_HTTP_INVALID_HEADER
                        ? std::string("a Content-Length that is no 32-bit number")
                        : std::string("no Content-Length (a chunked reply has none)"),
                    "the service must announce the body's length (1 to 30719), not chunk it");
        return false;
    }
    if (!ContentLengthTaken(seen.length)) {
        doctor.Fail("length", "Content-Length " + std::to_string(seen.length),
                    "the library takes a Content-Length of 1 to 30719 only");
        return false;
    }
    doctor.Pass("length", "Content-Length " + std::to_string(seen.length));
    if (!seen.bodySeen) {
        doctor.Fail("body", NotReached(result), "look at the service's log");
        return false;
    }
    if (seen.body.size() < seen.announced && result == NALPOI_RESULT_TIMED_OUT) {
        doctor.Fail("body",
                    std::to_string(seen.body.size()) + " of " + std::to_string(seen.announced) +
                        " bytes arrived within 20 s (the host gets -9)",
                    "the service sends its reply too slowly");
        return false;
    }
    if (seen.body.size() < seen.announced) {
        doctor.Pass("body",
                    "warning: " + std::to_string(seen.body.size()) + " of " +
                        std::to_string(seen.announced) + " bytes arrived; the library goes on with them",
                    "the service closed the connection before the whole body");
    } else {
        doctor.Pass("body", std::to_string(seen.body.size()) + " bytes");
    }
    const char* const wanted = "the reply body must be base64 of an XML document";
    if (!seen.decodedSeen) {
        doctor.Fail("decode", NotReached(result), wanted);
        return false;
    }
    const std::string leftAside = NoteLeftovers(seen, doctor);
    if (!ReplyTextTaken(seen.decoded.size())) {
        doctor.Fail("decode",
                    "the body decodes to a text of " + Count(seen.decoded.size(), "character") +
                        " (up to its first zero byte), too short for the library",
                    wanted + leftAside);
        return false;
    }
    doctor.Pass("decode", Count(seen.decoded.size(), "character"));

    // The library's call says whether the document holds an element; its
    // guarded parse, run again here, gives the words.
    TiXmlDocument document;
    GuardedParse(document, seen.decoded.c_str());
    const TiXmlElement* root = document.FirstChildElement();
    const std::string error = document.Error() ? document.ErrorDesc() : "";
    if (result == NALPOI_RESULT_NO_ELEMENT) {
        doctor.Fail("document", "the decoded reply holds no element" + (error.empty() ? "" : ": " + error),
                    "the reply must be an XML document such as <Poi>...</Poi>" + leftAside);
        return false;
    }
    if (result != NALPOI_RESULT_OK && result != NALPOI_RESULT_UPDATE_STATUS_0 &&
        result != NALPOI_RESULT_UPDATE_STATUS_2) {
        doctor.Fail("document",
                    "the call gives " + std::to_string(result) + " after the reply was decoded: " +
                        ResultMeaning(Operation::Update, result),
                    result == NALPOI_RESULT_TIMED_OUT
                        ? "the reply came too late: the library waits 20 s for the whole exchange"
                        : "run the doctor again: out of memory?");
        return false;
    }
    doctor.Pass("document", root == nullptr ? std::string("read by the library")
                            : std::string("root element <") + root->Value() + ">" +
                                (error.empty() ? std::string()
                                               : " (" + error + "; the library reads what came before)"));
    if (result == NALPOI_RESULT_UPDATE_STATUS_0) {
        doctor.Note("the reply's Status is 0: the host gets 219 (no POI with that ID)");
    } else if (result == NALPOI_RESULT_UPDATE_STATUS_2) {
        doctor.Note("the reply's Status is 2: the host gets 620 (the request was not understood)");
    }
    return true;
}

}  // namespace

DoctorReport RunDoctor(const std::string& id) {
    DoctorReport report;
    Doctor doctor(report);

    // One exchange, the library's own, told step by step.
    Observations seen;
    __POIINFO__ query{};
    CopyIntoField(query.ID, id);
    UpdateOutcome outcome;
    outcome.result = ObservedUpdateRequest(query, outcome.content, seen);
    report.result = outcome.result;

    if (!seen.configRead || seen.reading.problem != ServiceConfigProblem::kNone) {
        const bool tooLong = seen.reading.problem == ServiceConfigProblem::kTooLong;
        doctor.Fail("config",
                    seen.configRead ? ServiceConfigReadingProblem(seen.reading)
                                    : std::string("the exchange did not start"),
                    tooLong ? "the library takes a URL of at most 99 bytes and never cuts one: "
                              "shorten the host or the path"
                            : kConfigHint);
    } else {
        doctor.Pass("config", seen.reading.path + ": " + seen.reading.url);
        if (!seen.urlSeen || !seen.urlSplit) {
            doctor.Fail("url", "the URL cannot be split: " + seen.reading.url,
                        "give a URL such as http://127.0.0.1:8080/poi");
        } else {
            const std::string path = Narrow(seen.parts.path);
            doctor.Pass("url", "host " + Narrow(seen.parts.host) + ", port " +
                                   std::to_string(seen.parts.port) + ", path " +
                                   (path.empty() ? "/" : path) + (seen.parts.secure ? ", TLS" : ""));
            if (ReportSending(seen, outcome.result, doctor)) ReportReply(seen, outcome.result, doctor);
        }
    }

    // The call's reply is shown only when the call reached a parser, which
    // writes cc.xml first: a file left by an earlier exchange says nothing.
    const int parsed[] = {NALPOI_RESULT_OK, NALPOI_RESULT_UPDATE_STATUS_0,
                          NALPOI_RESULT_UPDATE_STATUS_2, NALPOI_RESULT_NO_ELEMENT};
    char cache[kPathChars];
    if (std::find(std::begin(parsed), std::end(parsed), outcome.result) != std::end(parsed) &&
        FormConfigPath(kReplyCacheFormat, cache)) {
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
