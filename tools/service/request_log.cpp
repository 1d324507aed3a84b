#include "request_log.h"

namespace nalpoicomm {
namespace service {
namespace {

// "YYYY-MM-DDThh:mm:ssZ" and its terminator.
constexpr std::size_t kIsoTimeBytes = 21;

std::string IsoTime(std::time_t when) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[kIsoTimeBytes];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// Control bytes, "\" and (unless `keep_spaces`) spaces as \xNN.
std::string LogSafe(const std::string& text, bool keep_spaces) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '\\' || (c == ' ' && !keep_spaces)) {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string FormatLogLine(std::time_t when, const char* kind, const std::string& id,
                          const std::string& status, std::size_t reply_bytes, long connection) {
    return IsoTime(when) + ' ' + kind + " id=" + (id.empty() ? "-" : LogSafe(id, false)) +
           " status=" + status + " bytes=" + std::to_string(reply_bytes) +
           " connection=" + std::to_string(connection);
}

void RequestLog::Request(const char* kind, const std::string& id, const std::string& status,
                         std::size_t reply_bytes, long connection, const char* fault) {
    std::string line = FormatLogLine(std::time(nullptr), kind, id, status, reply_bytes, connection);
    if (fault != nullptr) line += std::string(" fault=") + fault;
    WriteLine(line);
}

void RequestLog::Error(const std::string& text) {
    WriteLine(IsoTime(std::time(nullptr)) + " error: " + LogSafe(text, true));
}

void RequestLog::WriteLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fputs((line + '\n').c_str(), out_);
    std::fflush(out_);
}

}  // namespace service
}  // namespace nalpoicomm
