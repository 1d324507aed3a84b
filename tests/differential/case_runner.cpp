// The host side of the differential test: runs a list of cases through the
// library, one exported call each, and writes down everything the call left
// behind, field by field, so that the runs on Linux and on Windows (x86_64
// and i686, whose record layouts differ) can be compared.
//
// Usage: nalpoi_case_runner CASES RESULTS BASE_URL
// The program sits in <tree>/bin/; for each case it points
// <tree>/configdat/serviceIP.xml at BASE_URL<case id>, on the case's origin,
// removes cc.xml, makes the call as the end-to-end suites do (records full of
// old bytes, lists holding entries) and appends the result and every field
// to RESULTS. A CASES line is
//   <id> U <Type> <Time> <ID> <Name> <origin>        SendUpdateRequest
//   <id> B <Type> <Time> <add> <del> <upd> <origin>  RevBatch with that many entries present
//   <id> S <calls> <origin>                           that many SendUpdateRequest calls in a
//                                                     row (a sequence: only their results)
// with each text in hex ("-" for empty) and the origin as "scheme://host:port".
// On Windows the CA of the service's TLS ports, <tree>/test-root-ca.der, is
// trusted for the run (on Linux, SSL_CERT_FILE names it).
#ifdef _WIN32
#include <windows.h>

#include "../windows/trusted_test_ca.h"
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "NalPoiComm.h"
#include "support/exchange_cases.h"
#include "support/host_files.h"

namespace {

// BASE_URL with its scheme, host and port replaced by `origin`.
std::string OnOrigin(const std::string& base, const std::string& origin) {
    const std::size_t host = base.find("://");
    const std::size_t path = host == std::string::npos ? host : base.find('/', host + 3);
    return path == std::string::npos ? base : origin + base.substr(path);
}

std::string Hex(const void* data, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out.empty() ? "-" : out;
}

std::string Unhex(const std::string& text) {
    std::string out;
    if (text == "-") return out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    }
    return out;
}

// The call of a CASES line, after its id and operation.
testsupport::ExchangeCall ReadCall(bool batch, std::istringstream& fields) {
    testsupport::ExchangeCall call;
    call.batch = batch;
    std::string type, time, id, name;
    fields >> type >> time;
    if (batch) {
        fields >> call.present[0] >> call.present[1] >> call.present[2];
    } else {
        fields >> id >> name;
    }
    call.type = Unhex(type);
    call.time = Unhex(time);
    call.id = Unhex(id);
    call.name = Unhex(name);
    return call;
}

void PointAt(const std::string& serviceConfig, const std::string& url) {
    testsupport::WriteFile(serviceConfig, "<?xml version=\"1.0\"?>\n<ServiceConfig><ServiceUrl>" +
                                              url + "</ServiceUrl></ServiceConfig>\n");
}

// A batch reply leaves its counts and time in the library for the next
// batch that takes none: one fixed exchange (case 0) before each batch case
// makes them the same on every host, whatever the earlier cases did.
void ResetBatchState(const std::string& serviceConfig, const std::string& base) {
    PointAt(serviceConfig, base + "0");
    testsupport::ExchangeCall reset;
    reset.batch = true;
    const int result = testsupport::MakeCall(reset).result;
    if (result != 1) std::fprintf(stderr, "nalpoi_case_runner: the reset exchange gave %d\n", result);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: nalpoi_case_runner CASES RESULTS BASE_URL\n");
        return 2;
    }
    std::ifstream cases(argv[1]);
    FILE* results = std::fopen(argv[2], "wb");
    if (!cases || results == nullptr) {
        std::fprintf(stderr, "nalpoi_case_runner: cannot open the case or result file\n");
        return 2;
    }
#ifdef _WIN32
    const TrustedTestCa testCa(testsupport::LibraryInstallDir() + "\\test-root-ca.der");
    if (!testCa.Trusted()) std::fprintf(stderr, "nalpoi_case_runner: no test CA trusted\n");
#endif
    const std::string serviceConfig = testsupport::LibraryServiceConfigPath();
    const std::string cache = testsupport::LibraryReplyCachePath();
    std::string line;
    while (std::getline(cases, line)) {
        std::istringstream fields(line);
        std::string id, operation;
        if (!(fields >> id >> operation)) continue;
        // The origin ends the line, after the operation's own fields.
        const std::string origin = line.substr(line.find_last_of(' ') + 1);
        if (operation == "B") ResetBatchState(serviceConfig, argv[3]);
        PointAt(serviceConfig, OnOrigin(argv[3], origin) + id);
        std::remove(cache.c_str());
        std::ostringstream out;
        out << "case " << id << "\nresult";
        if (operation == "S") {
            int calls = 0;
            fields >> calls;
            for (int i = 0; i < calls; ++i) out << " " << testsupport::MakeCall(testsupport::SequenceCall()).result;
            out << "\n";
        } else {
            const testsupport::CallOutcome outcome = testsupport::MakeCall(ReadCall(operation == "B", fields));
            out << " " << outcome.result << "\ncontent";
            for (const auto& [name, bytes] : outcome.fields) out << " " << name << "=" << Hex(bytes.data(), bytes.size());
            const std::string cached = testsupport::ReadFile(cache);
            out << "\ncc " << (testsupport::FileExists(cache) ? Hex(cached.data(), cached.size()) : "absent") << "\n";
        }
        out << "end\n";
        const std::string block = out.str();
        std::fwrite(block.data(), 1, block.size(), results);
        std::fflush(results);
    }
    std::fclose(results);
    return 0;
}
