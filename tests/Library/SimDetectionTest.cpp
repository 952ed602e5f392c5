// Detection against tessary-sim, its ports linked into a temporary folder
// that stands in for /dev. The binary comes from $TESSARY_SIM, else from the
// sim/ folder of the build tree this test was built in; without one the tests
// are skipped (the sanitizer build has no simulator).

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TessaryHardwareAPI/Discovery.h"

extern char** environ;

namespace API = Tessary::HardwareAPI;
using Clock = std::chrono::steady_clock;
using Paths = std::vector<std::string>;

namespace {

std::string SimBinary() {
    if (const char* env = std::getenv("TESSARY_SIM"); env && *env) return env;
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    std::string path(self, static_cast<size_t>(n));
    for (int up = 0; up < 3; ++up) path.erase(path.rfind('/'));  // <build>/tests/Library/<test>
    return path + "/sim/tessary-sim";
}

struct SimDevice {
    std::string kind, pty, link;
};

// One running tessary-sim; stopped with SIGTERM, its exit status kept.
class Sim {
public:
    Sim(const std::string& binary, std::vector<std::string> args, size_t devices) {
        int out[2];
        if (::pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        args.insert(args.begin(), binary);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (pid_ > 0) ReadAnnouncements(out[0], devices);
        ::close(out[0]);
    }
    ~Sim() { Stop(); }

    const std::vector<SimDevice>& Devices() const { return devices_; }

    // Exit status, or -1 when it did not exit normally.
    int Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid_ = -1;
        }
        return status_;
    }

private:
    void ReadAnnouncements(int fd, size_t wanted) {
        static const std::regex line(
            R"re(\{"kind": "(\w+)", "pty": "([^"]+)", "link": (?:null|"([^"]*)")\})re");
        std::string pending;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (devices_.size() < wanted && Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char chunk[512];
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0) return;
            pending.append(chunk, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                std::smatch m;
                const std::string text = pending.substr(0, end);
                if (std::regex_match(text, m, line)) devices_.push_back({m[1], m[2], m[3]});
            }
        }
    }

    pid_t pid_ = -1;
    int status_ = -1;
    std::vector<SimDevice> devices_;
};

class SimDetection : public ::testing::Test {
protected:
    void SetUp() override {
        binary_ = SimBinary();
        if (::access(binary_.c_str(), X_OK) != 0) {
            GTEST_SKIP() << "no tessary-sim at " << binary_;
        }
        char name[] = "/tmp/tessary-sim-ports-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override {
        if (!dir_.empty()) {
            EXPECT_EQ(::rmdir(dir_.c_str()), 0) << "links left behind in " << dir_;
        }
    }

    std::unique_ptr<Sim> Start(std::vector<std::string> args, size_t devices) {
        args.push_back("--link");
        args.push_back(dir_);
        auto sim = std::make_unique<Sim>(binary_, std::move(args), devices);
        EXPECT_EQ(sim->Devices().size(), devices);
        return sim;
    }

    // The pty behind each link of `devices`, in the order the folder lists the links.
    Paths InListingOrder(const std::vector<SimDevice>& devices) const {
        std::map<std::string, std::string> pty_of;
        for (const SimDevice& d : devices) pty_of[d.link] = d.pty;
        Paths paths;
        if (DIR* dir = ::opendir(dir_.c_str())) {
            while (dirent* entry = ::readdir(dir)) {
                auto it = pty_of.find(dir_ + "/" + entry->d_name);
                if (it != pty_of.end()) paths.push_back(it->second);
            }
            ::closedir(dir);
        }
        return paths;
    }

    std::string binary_;
    std::string dir_;
};

std::vector<SimDevice> OfKind(const std::vector<SimDevice>& all, const std::string& kind) {
    std::vector<SimDevice> out;
    for (const SimDevice& d : all)
        if (d.kind == kind) out.push_back(d);
    return out;
}

TEST_F(SimDetection, FindsEachVirtualDeviceThroughItsLinkInListingOrder) {
    auto wired = Start({"--triaxons", "3", "--handles", "2"}, 5);
    auto wireless = Start({"--triaxons", "0", "--handles", "1", "--wireless"}, 1);
    const auto arms = OfKind(wired->Devices(), "triaxon");
    const auto usb = OfKind(wired->Devices(), "handle");
    const auto rfcomm = wireless->Devices();
    auto handles = usb;
    handles.insert(handles.end(), rfcomm.begin(), rfcomm.end());
    ASSERT_EQ(rfcomm.at(0).link, dir_ + "/rfcomm-sim0");
    ASSERT_EQ(InListingOrder(wired->Devices()).size(), 5u);

    // Ports come back as the resolved pty paths, in the folder's own order.
    EXPECT_EQ(API::DetectTriaxons(dir_), InListingOrder(arms));
    EXPECT_EQ(API::DetectWiredHandles(dir_), InListingOrder(usb));
    EXPECT_EQ(API::DetectWirelessHandles(dir_), InListingOrder(rfcomm));
    EXPECT_EQ(API::DetectHandles(dir_), InListingOrder(handles));
    EXPECT_EQ(API::DetectTriaxons(dir_), InListingOrder(arms));  // probed again, still there

    EXPECT_EQ(wired->Stop(), 0);
    EXPECT_EQ(wireless->Stop(), 0);
    EXPECT_EQ(API::DetectHandles(dir_), Paths{});  // links removed on exit
}

TEST_F(SimDetection, DevicesGivingWrongHeadersAreNotListed) {
    auto good = Start({"--triaxons", "1", "--handles", "1"}, 2);
    // Both would be named ttyACM-sim0 and ttyUSB-sim0: the faulty pair gets its own folder.
    char name[] = "/tmp/tessary-sim-bad-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    const std::string other = name;
    {
        Sim faulty(binary_, {"--wrong-header-every", "1", "--link", other}, 2);
        ASSERT_EQ(faulty.Devices().size(), 2u);
        const auto start = Clock::now();
        EXPECT_EQ(API::DetectTriaxons(other), Paths{});  // 8B instead of 0B: discarded
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
        EXPECT_EQ(API::DetectHandles(other), Paths{});   // 50 instead of D0: no message
        EXPECT_EQ(API::DetectTriaxons(dir_), Paths{good->Devices()[0].pty});
        EXPECT_EQ(API::DetectHandles(dir_), Paths{good->Devices()[1].pty});
        EXPECT_EQ(faulty.Stop(), 0);
    }
    EXPECT_EQ(::rmdir(other.c_str()), 0);
}

TEST_F(SimDetection, DeviceThatHungUpIsGoneFromTheNextDetection) {
    auto sim = Start({"--handles", "0", "--hangup-after", "1"}, 1);
    const SimDevice arm = sim->Devices().at(0);
    EXPECT_EQ(API::DetectTriaxons(dir_), Paths{arm.pty});  // the probe used its one reply
    struct stat st;
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (::lstat(arm.link.c_str(), &st) == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(::lstat(arm.link.c_str(), &st), 0) << "link still there after the hang-up";
    EXPECT_EQ(API::DetectTriaxons(dir_), Paths{});
    EXPECT_EQ(sim->Stop(), 0);
}

}  // namespace
