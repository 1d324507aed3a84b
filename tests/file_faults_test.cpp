// The library's own files under real faults: the service file read while
// signals interrupt the reading, and the reply cache written to a file
// system that runs full part way.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>

#include "NalPoiComm.h"
#include "interface/observed_update.h"
#include "support/install_tree.h"
#include "support/replies.h"
#include "support/test_http_server.h"

using namespace testsupport;

namespace {

class ConfigReadObserver final : public nalpoicomm::ExchangeObserver {
public:
    nalpoicomm::ServiceConfigReading reading;
    void ConfigRead(const nalpoicomm::ServiceConfigReading& found) override { reading = found; }
    void UrlSplit(bool, const nalpoicomm::ServiceUrlParts&) override {}
    void Sent(std::size_t, DWORD, DWORD, const char*) override {}
    void LengthRead(DWORD, DWORD) override {}
    void BodyRead(const char*, std::size_t, DWORD) override {}
    void Decoded(const char*, std::size_t) override {}
};

void Nothing(int) {}

void BlockSignals(std::initializer_list<int> signals) {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : signals) sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int Update(__POICONTENT__& content) {
    __POIINFO__ query{};
    std::strcpy(query.ID, "H-1001");
    return SendUpdateRequest(query, content);
}

}  // namespace

// A signal every millisecond, with no SA_RESTART, while the worker waits
// for the service file (a FIFO written in pieces): every interrupted open
// and read is retried, and the whole, valid file is read.
TEST(ServiceFileRead, InterruptedReadsStillGiveTheWholeFile) {
    const std::string url = "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/poi";
    const std::string text = "<?xml version=\"1.0\"?>\n<c><u>" + url + "</u></c>\n";
    RemoveFile(ServiceConfigPath());
    ASSERT_EQ(mkfifo(ServiceConfigPath().c_str(), 0600), 0);
    struct sigaction interrupt {}, previous {};
    interrupt.sa_handler = Nothing;  // no SA_RESTART: blocking calls fail with EINTR
    sigaction(SIGALRM, &interrupt, &previous);
    std::thread writer([&text] {
        BlockSignals({SIGALRM, SIGPIPE});  // a reader gone must fail the write, not end the tests
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the worker waits in open()
        int fifo = -1;  // opened only while a reader is there, so never stuck
        for (int tries = 0; fifo < 0 && tries < 2000; ++tries) {
            fifo = open(ServiceConfigPath().c_str(), O_WRONLY | O_NONBLOCK);
            if (fifo < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (std::size_t at = 0; fifo >= 0 && at < text.size(); at += 16) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (write(fifo, text.data() + at, std::min<std::size_t>(16, text.size() - at)) < 0) break;
        }
        if (fifo >= 0) close(fifo);
    });
    // Every thread of the process, the worker among them, is signalled.
    std::atomic<bool> calling{true};
    std::thread signaller([&calling] {
        BlockSignals({SIGALRM});
        while (calling) {
            if (DIR* tasks = opendir("/proc/self/task")) {
                while (const dirent* task = readdir(tasks)) {
                    if (task->d_name[0] != '.') syscall(SYS_tgkill, getpid(), std::atoi(task->d_name), SIGALRM);
                }
                closedir(tasks);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    ConfigReadObserver seen;
    __POIINFO__ query{};
    __POICONTENT__ content{};
    EXPECT_EQ(nalpoicomm::ObservedUpdateRequest(query, content, seen), -2);  // nothing listens
    calling = false;
    signaller.join();
    writer.join();
    sigaction(SIGALRM, &previous, nullptr);
    RemoveFile(ServiceConfigPath());
    EXPECT_EQ(seen.reading.problem, nalpoicomm::ServiceConfigProblem::kNone);
    EXPECT_EQ(seen.reading.url, url);
}

// The cache on a file system that runs full part way through the write:
// the result stays, and cc.xml is left empty, neither the previous reply
// nor a mixture; once there is room again it holds the reply whole.
TEST(ReplyCacheFile, IsWholeOrEmptyOnAFullFileSystem) {
    ASSERT_EQ(mount("tmpfs", ConfigDir().c_str(), "tmpfs", 0, "size=16k"), 0)
        << "a small tmpfs over configdat/ (needs root): " << std::strerror(errno);
    struct Unmount {
        ~Unmount() { umount(ConfigDir().c_str()); }
    } unmount;
    TestHttpServer service;
    WriteServiceConfig(service.Url());
    const std::string earlier = "<Poi><Con>" + std::string(3000, 'a') + "</Con></Poi>";
    const std::string later = "<Poi><Con>" + std::string(10000, 'b') + "</Con></Poi>";
    const std::string filler = ConfigDir() + "/filler";
    const struct {
        const char* what;
        const std::string& reply;
        bool full;
        std::string cache;
    } steps[] = {
        {"room for the reply", earlier, false, TinyXmlSaved(earlier)},
        {"a full file system", later, true, ""},
        {"room again", later, false, TinyXmlSaved(later)},
    };
    for (const auto& step : steps) {
        if (step.full) {
            WriteFile(filler, std::string(4096, 'f'));  // a page of the four left
        } else {
            RemoveFile(filler);
        }
        service.SetScript(AnswerWith(step.reply));
        __POICONTENT__ content{};
        EXPECT_EQ(Update(content), 1) << step.what;
        std::free(content.Con);
        EXPECT_EQ(ReadFile(ReplyCachePath()), step.cache) << step.what;
    }
}
