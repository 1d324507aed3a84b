// What one SendUpdateRequest costs against a bare libcurl POST of the same
// bytes to the same local server, in wall time and in CPU time (all threads
// of the calling process, getrusage), with the install tree on tmpfs and on a
// folder of the root file system, and over https. The kinds of call
// alternate, one of each per step, so that drift of a shared machine hits
// all alike; each round's figure is its mean per call, and the table gives
// the medians of the rounds.
//
// Per tree: the library against the bare POST; an empty POSIX thread
// started and joined against the same (the platform's part of every call,
// which starts and joins a worker); and the library against the design's
// floor, the same bare POST made on a new thread that the caller joins (one
// new thread per call; over https a full handshake each time). Goals against
// the floor: 1.15 over http, 1.1 over https. Those rows are first calls: the
// service closes every connection. The warm rows are later calls, the
// service keeping its connections: the library against libcurl's own reuse,
// one easy handle kept for every POST, each made on a new thread that the
// caller joins.
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
#include <functional>
#include <memory>
#include <sstream>
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

void* NothingToDo(void*) { return nullptr; }

// The part of a call that no library code is in: a new POSIX thread that
// does nothing, started and joined, as each call starts and joins its worker.
bool BareThread() {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, NothingToDo, nullptr) != 0) return false;
    return pthread_join(thread, nullptr) == 0;
}

struct Job {
    const std::function<bool()>* work;
    bool ok;
};

void* RunJob(void* raw) {
    auto* job = static_cast<Job*>(raw);
    job->ok = (*job->work)();
    return nullptr;
}

// `work` on a new thread that the caller joins, as each call runs its worker.
bool OnNewThread(const std::function<bool()>& work) {
    Job job{&work, false};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, RunJob, &job) != 0) return false;
    return pthread_join(thread, nullptr) == 0 && job.ok;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// What each step of the loop times, one of each kind per step.
enum Kind { kLibrary, kCurl, kFloor, kThread, kReuse, kKinds };

struct Figures {
    double wall[kKinds], cpu[kKinds];  // seconds per call of each kind
};


// Runs in the process started from an install tree: the measurement itself.
// Prints wall and CPU seconds per call of each kind. With `caFile` the
// exchange is https, verified against that CA. A warm run times the library
// and libcurl's reuse alone.
int Measure(const std::string& url, int calls, int rounds, bool warm, const char* caFile) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    if (caFile != nullptr) setenv("SSL_CERT_FILE", caFile, 1);
    const std::unique_ptr<char[]> body(nalpoicomm::BuildUpdateRequest(Query()));
    const std::string requestBody = body.get();
    const std::function<bool()> bare = [&] { return bench::BareCurlPost(url, requestBody, nullptr, caFile); };
    CURL* kept = curl_easy_init();
    curl_slist* keptHeaders = bench::PrepareBarePost(kept, url, requestBody, nullptr, caFile);
    const std::function<bool()> reused = [kept] { return curl_easy_perform(kept) == CURLE_OK; };
    const std::function<bool()> skipped = [] { return true; };
    const std::function<bool()> kinds[kKinds] = {
        LibraryCall,
        warm ? skipped : bare,
        warm ? skipped : [&] { return OnNewThread(bare); },
        warm ? skipped : BareThread,
        [&] { return OnNewThread(reused); },
    };
    for (int i = 0; i < 20; ++i) {  // warm-up
        for (const auto& kind : kinds) {
            if (!kind()) {
                std::fprintf(stderr, "a warm-up exchange failed\n");
                return 1;
            }
        }
    }
    std::vector<double> wall[kKinds], cpu[kKinds];
    for (int round = 0; round < rounds; ++round) {
        double wallSum[kKinds] = {}, cpuSum[kKinds] = {};
        for (int i = 0; i < calls; ++i) {
            for (int kind = 0; kind < kKinds; ++kind) {
                const auto start = Clock::now();
                const double cpuStart = CpuSeconds();
                const bool ok = kinds[kind]();
                cpuSum[kind] += CpuSeconds() - cpuStart;
                wallSum[kind] += std::chrono::duration<double>(Clock::now() - start).count();
                if (!ok) {
                    std::fprintf(stderr, "an exchange failed\n");
                    return 1;
                }
            }
        }
        for (int kind = 0; kind < kKinds; ++kind) {
            wall[kind].push_back(wallSum[kind] / calls);
            cpu[kind].push_back(cpuSum[kind] / calls);
        }
    }
    for (int kind = 0; kind < kKinds; ++kind) {
        std::printf("%.9f %.9f ", Median(wall[kind]), Median(cpu[kind]));
    }
    std::printf("\n");
    curl_slist_free_all(keptHeaders);
    curl_easy_cleanup(kept);
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

bool RunTree(const fs::path& app, const std::string& url, int calls, int rounds, bool warm,
             const std::string& caFile, Figures& out) {
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const std::string command = "'" + (app / "bin" / self.filename()).string() + "' --measure '" +
                                url + "' " + std::to_string(calls) + " " + std::to_string(rounds) +
                                (warm ? " warm" : " cold") + (caFile.empty() ? "" : " '" + caFile + "'");
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    int read = 0;
    for (int kind = 0; kind < kKinds; ++kind) {
        read += std::fscanf(pipe, "%lf %lf", &out.wall[kind], &out.cpu[kind]);
    }
    return pclose(pipe) == 0 && read == 2 * kKinds;
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc == 6 || argc == 7) && std::strcmp(argv[1], "--measure") == 0) {
        setenv("no_proxy", "127.0.0.1,localhost", 1);
        return Measure(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::strcmp(argv[5], "warm") == 0,
                       argc == 7 ? argv[6] : nullptr);
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
        TestHttpServer server;  // closes after every reply
        server.SetScript(AnswerWith(kReply));
        TlsFront front(server.Port(), certificate);
        TestHttpServer keeping;  // keeps its connections
        const std::string body = Base64(kReply);
        keeping.SetScript({ReplyStep::Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                                           "\r\n\r\n" + body),
                           ReplyStep::KeepOpen()});
        TlsFront keepingFront(keeping.Port(), certificate);
        const std::string urls =
            server.Url() + " " + front.Url() + " " + keeping.Url() + " " + keepingFront.Url() + " ";
        if (write(ready[1], urls.data(), urls.size()) < 0) _exit(1);
        close(ready[1]);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char buffer[512] = {};
    if (read(ready[0], buffer, sizeof buffer - 1) <= 0) return 1;
    close(ready[0]);
    std::vector<std::string> urls;  // plain, https, then the same kept
    std::istringstream words(buffer);
    for (std::string word; words >> word;) urls.push_back(word);
    if (urls.size() != 4) return 1;

    std::printf("per call, medians of %d rounds of %d calls of each kind, interleaved\n", rounds,
                calls);
    std::printf("%-26s %12s %12s %6s %12s %12s %6s\n", "install tree", "wall", "yardstick",
                "ratio", "cpu", "yardstick", "ratio");
    int status = 0;
    const struct {
        const char* name;
        const char* parent;
        bool tls;
        bool warm;
    } rows[] = {{"tmpfs (/dev/shm)", "/dev/shm", false, false},
                {"root fs (/var/tmp)", "/var/tmp", false, false},
                {"https, tmpfs", "/dev/shm", true, false},
                {"warm, tmpfs", "/dev/shm", false, true},
                {"warm, https, tmpfs", "/dev/shm", true, true}};
    for (const auto& [name, parent, tls, warm] : rows) {
        const std::string& target = urls[(tls ? 1 : 0) + (warm ? 2 : 0)];
        const fs::path app = MakeTree(parent, target);
        Figures f{};
        if (app.empty() || !RunTree(app, target, calls, rounds, warm, tls ? ca.CaFile() : "", f)) {
            std::printf("%-22s measurement failed\n", name);
            status = 1;
        } else {
            // Each row: its wall and CPU time, and both as ratios of the yardstick's.
            const auto row = [&f](const char* label, int kind, int yardstick) {
                std::printf("%-26s %9.0f us %9.0f us %6.2f %9.0f us %9.0f us %6.2f\n", label,
                            f.wall[kind] * 1e6, f.wall[yardstick] * 1e6,
                            f.wall[kind] / f.wall[yardstick], f.cpu[kind] * 1e6,
                            f.cpu[yardstick] * 1e6, f.cpu[kind] / f.cpu[yardstick]);
            };
            std::printf("%s\n", name);
            if (warm) {
                row("  library : curl reuse", kLibrary, kReuse);
            } else {
                row("  library : curl", kLibrary, kCurl);
                row("  bare thread : curl", kThread, kCurl);
                row("  library : floor", kLibrary, kFloor);
            }
        }
        std::error_code ignored;
        if (!app.empty()) fs::remove_all(app.parent_path(), ignored);
    }
    kill(service, SIGTERM);
    waitpid(service, nullptr, 0);
    std::printf("floor: the same curl POST on a new thread that the caller joins; goals: library : floor "
                "<= 1.15 (http), <= 1.10 (https)\n"
                "curl reuse: one easy handle kept for every POST, each on a new thread that the caller joins\n");
    return status;
}
