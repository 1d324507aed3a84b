// What one SendUpdateRequest costs against a bare libcurl POST of the same
// bytes to the same local server, in wall time and in CPU time (all threads
// of the calling process, getrusage), with the install tree on tmpfs and on a
// folder of the root file system. The two kinds of call alternate, one of
// each per step, so that drift of a shared machine hits both alike; each
// round's figure is its mean per call, and the table gives the medians of
// the rounds.
//
// Goal: each of the four ratios library / curl <= 1.5. Below each tree's line,
// "bare thread" is an empty POSIX thread started and joined, with its cost
// as a share of the curl call: the part of each call's overhead that is the
// platform's, not the library's.
//
// The https row measures a call over TLS (a full handshake each time: nothing
// is kept between calls) against the design's floor, the same bare libcurl
// POST over TLS made on a new thread that the caller joins; goal 1.1.
// Run: build/bench/call_cost_bench [CALLS_PER_ROUND [ROUNDS]]   (300 5)
#include <curl/curl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "NalPoiComm.h"
#include "bare_curl_post.h"
#include "encoding/request_documents.h"
#include "support/install_tree.h"
#include "support/replies.h"
#include "support/test_certificates.h"
#include "support/test_http_server.h"
#include "support/tls_front.h"

namespace fs = std::filesystem;
using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

// A reply of 288 base64 bytes, as a small real reply is.
const std::string kReply =
    "<?xml version=\"1.0\"?><Poi><Status>1</Status><Tel>020-5555</Tel><Addr>1 Harbour Road</Addr>"
    "<Time>2026-12-08 10:00</Time><Con>Sea view, breakfast, late check-in</Con>"
    "<Pri><P><Name>Double</Name><Agr>120</Agr></P></Pri></Poi>";

__POIINFO__ Query() {
    __POIINFO__ query;
    std::memset(&query, 0, sizeof query);
    std::strcpy(query.Type, "1");
    std::strcpy(query.ID, "H-1001");
    return query;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool LibraryCall() {
    __POIINFO__ query = Query();
    __POICONTENT__ content{};
    const int result = SendUpdateRequest(query, content);
    std::free(content.Con);
    return result == 1;
}

struct Figures {
    double libraryWall, libraryCpu, curlWall, curlCpu;  // seconds per call
    double threadWall, threadCpu;  // a bare thread start and join
};

void* NothingToDo(void*) { return nullptr; }

// The part of a call that no library code is in: a new POSIX thread that
// does nothing, started and joined, as each call starts and joins its worker.
bool BareThread() {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, NothingToDo, nullptr) != 0) return false;
    return pthread_join(thread, nullptr) == 0;
}

struct Post {
    const std::string* url;
    const std::string* body;
    const char* caFile;
    bool ok;
};

void* PostOnThread(void* raw) {
    auto* post = static_cast<Post*>(raw);
    post->ok = bench::BareCurlPost(*post->url, *post->body, nullptr, post->caFile);
    return nullptr;
}

// The floor of a call: the bare POST on a new thread that the caller joins.
bool BareCurlPostOnNewThread(const std::string& url, const std::string& body, const char* caFile) {
    Post post{&url, &body, caFile, false};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, PostOnThread, &post) != 0) return false;
    return pthread_join(thread, nullptr) == 0 && post.ok;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs in the process started from an install tree: the measurement itself.
// With `caFile` the exchange is https and the yardstick the floor.
int Measure(const std::string& url, int calls, int rounds, const char* caFile) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    if (caFile != nullptr) setenv("SSL_CERT_FILE", caFile, 1);
    const std::unique_ptr<char[]> body(nalpoicomm::BuildUpdateRequest(Query()));
    const std::string requestBody = body.get();
    auto yardstick = [&] {
        return caFile != nullptr ? BareCurlPostOnNewThread(url, requestBody, caFile)
                                 : bench::BareCurlPost(url, requestBody, nullptr);
    };
    for (int i = 0; i < 20; ++i) {  // warm-up
        if (!LibraryCall() || !yardstick()) {
            std::fprintf(stderr, "a warm-up exchange failed\n");
            return 1;
        }
    }
    std::vector<double> lw, lc, cw, cc, tw, tc;
    for (int round = 0; round < rounds; ++round) {
        double libraryWall = 0, libraryCpu = 0, curlWall = 0, curlCpu = 0, threadWall = 0,
               threadCpu = 0;
        for (int i = 0; i < calls; ++i) {
            auto start = Clock::now();
            double cpu = CpuSeconds();
            const bool libraryOk = LibraryCall();
            libraryCpu += CpuSeconds() - cpu;
            libraryWall += std::chrono::duration<double>(Clock::now() - start).count();
            start = Clock::now();
            cpu = CpuSeconds();
            const bool curlOk = yardstick();
            curlCpu += CpuSeconds() - cpu;
            curlWall += std::chrono::duration<double>(Clock::now() - start).count();
            start = Clock::now();
            cpu = CpuSeconds();
            const bool threadOk = BareThread();
            threadCpu += CpuSeconds() - cpu;
            threadWall += std::chrono::duration<double>(Clock::now() - start).count();
            if (!libraryOk || !curlOk || !threadOk) {
                std::fprintf(stderr, "an exchange failed\n");
                return 1;
            }
        }
        lw.push_back(libraryWall / calls);
        lc.push_back(libraryCpu / calls);
        cw.push_back(curlWall / calls);
        cc.push_back(curlCpu / calls);
        tw.push_back(threadWall / calls);
        tc.push_back(threadCpu / calls);
    }
    std::printf("%.9f %.9f %.9f %.9f %.9f %.9f\n", Median(lw), Median(lc), Median(cw), Median(cc),
                Median(tw), Median(tc));
    return 0;
}

// Lays out <base>/app with this executable in bin/ and serviceIP.xml naming `url`.
fs::path MakeTree(const fs::path& parent, const std::string& url) {
    std::string pattern = (parent / "nalpoi-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return {};
    const fs::path app = fs::path(pattern) / "app";
    fs::create_directories(app / "bin");
    fs::create_directories(app / "configdat");
    const fs::path self = fs::read_symlink("/proc/self/exe");
    fs::copy_file(self, app / "bin" / self.filename());
    WriteFile((app / "configdat" / "serviceIP.xml").string(),
              "<?xml version=\"1.0\"?>\n<ServiceConfig><ServiceUrl>" + url +
                  "</ServiceUrl></ServiceConfig>\n");
    return app;
}

bool RunTree(const fs::path& app, const std::string& url, int calls, int rounds,
             const std::string& caFile, Figures& out) {
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const std::string command = "'" + (app / "bin" / self.filename()).string() + "' --measure '" +
                                url + "' " + std::to_string(calls) + " " + std::to_string(rounds) +
                                (caFile.empty() ? "" : " '" + caFile + "'");
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    const int read = std::fscanf(pipe, "%lf %lf %lf %lf %lf %lf", &out.libraryWall, &out.libraryCpu,
                                 &out.curlWall, &out.curlCpu, &out.threadWall, &out.threadCpu);
    return pclose(pipe) == 0 && read == 6;
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "--measure") == 0) {
        setenv("no_proxy", "127.0.0.1,localhost", 1);
        return Measure(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argc == 6 ? argv[5] : nullptr);
    }
    const int calls = argc > 1 ? std::atoi(argv[1]) : 300;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;

    // The service runs in a process of its own, so that its CPU time is not
    // counted; the CA is made here, so that its files go when this process ends.
    TestCertificateAuthority ca("call_cost_bench CA");
    const CertificateFiles certificate = ca.Issue("IP:127.0.0.1");
    int ready[2];
    if (pipe(ready) != 0) return 1;
    const pid_t service = fork();
    if (service == 0) {
        close(ready[0]);
        TestHttpServer server;
        server.SetScript(AnswerWith(kReply));
        TlsFront front(server.Port(), certificate);
        const std::string urls = server.Url() + " " + front.Url();
        if (write(ready[1], urls.data(), urls.size()) < 0) _exit(1);
        close(ready[1]);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char buffer[256] = {};
    if (read(ready[0], buffer, sizeof buffer - 1) <= 0) return 1;
    close(ready[0]);
    const std::string urls = buffer;
    const std::string url = urls.substr(0, urls.find(' '));
    const std::string tlsUrl = urls.substr(urls.find(' ') + 1);

    std::printf("per call, medians of %d rounds of %d calls of each kind, interleaved\n", rounds,
                calls);
    std::printf("%-22s %12s %12s %8s %12s %12s %8s\n", "install tree", "library wall", "curl wall",
                "ratio", "library cpu", "curl cpu", "ratio");
    int status = 0;
    const struct {
        const char* name;
        const char* parent;
        bool tls;
    } rows[] = {{"tmpfs (/dev/shm)", "/dev/shm", false},
                {"root fs (/var/tmp)", "/var/tmp", false},
                {"https, tmpfs; floor", "/dev/shm", true}};
    for (const auto& [name, parent, tls] : rows) {
        const std::string& target = tls ? tlsUrl : url;
        const fs::path app = MakeTree(parent, target);
        Figures f{};
        if (app.empty() || !RunTree(app, target, calls, rounds, tls ? ca.CaFile() : "", f)) {
            std::printf("%-22s measurement failed\n", name);
            status = 1;
        } else {
            std::printf("%-22s %9.0f us %9.0f us %8.2f %9.0f us %9.0f us %8.2f\n", name,
                        f.libraryWall * 1e6, f.curlWall * 1e6, f.libraryWall / f.curlWall,
                        f.libraryCpu * 1e6, f.curlCpu * 1e6, f.libraryCpu / f.curlCpu);
            std::printf("%-22s %9.0f us %12s %8.2f %9.0f us %12s %8.2f\n", "  bare thread", f.threadWall * 1e6,
                        "", f.threadWall / f.curlWall, f.threadCpu * 1e6, "", f.threadCpu / f.curlCpu);
        }
        std::error_code ignored;
        if (!app.empty()) fs::remove_all(app.parent_path(), ignored);
    }
    kill(service, SIGTERM);
    waitpid(service, nullptr, 0);
    std::printf("goal: every ratio <= 1.50; https against its floor (curl on a new thread) <= 1.10\n");
    return status;
}
