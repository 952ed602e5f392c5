// Detection against tessary-sim, its ports linked into folders that stand in
// for /dev. ctest runs each case through python -m tessary.sim (see CMakeLists.txt),
// which starts the simulators the case needs with their links under
// $TESSARY_SIM_TMP and afterwards fails the test unless they exit 0 having
// removed their links. Run any other way, the cases are skipped.

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "TessaryHardwareAPI/Discovery.h"

namespace API = Tessary::HardwareAPI;
using Clock = std::chrono::steady_clock;
using Paths = std::vector<std::string>;

namespace {

class SimDetection : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tmp = std::getenv("TESSARY_SIM_TMP");
        if (tmp == nullptr || *tmp == '\0') GTEST_SKIP() << "run by ctest through python -m tessary.sim";
        tmp_ = tmp;
    }

    std::string tmp_;
};

std::string Resolved(const std::string& path) {
    char out[PATH_MAX];
    return ::realpath(path.c_str(), out) ? out : "";
}

// The pty behind each link in `dir` whose name starts with one of `prefixes`,
// in the order the folder lists them (which is the order detection keeps).
Paths Linked(const std::string& dir, const std::vector<std::string>& prefixes) {
    Paths paths;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* entry = ::readdir(d)) {
            const std::string name = entry->d_name;
            for (const std::string& prefix : prefixes)
                if (name.rfind(prefix, 0) == 0) paths.push_back(Resolved(dir + "/" + name));
        }
        ::closedir(d);
    }
    return paths;
}

// Simulators: --triaxons 3 --handles 2 --link {tmp}; --triaxons 0 --handles 1 --wireless --link {tmp}
TEST_F(SimDetection, FindsEachVirtualDeviceThroughItsLinkInListingOrder) {
    const Paths arms = Linked(tmp_, {"ttyACM-sim"});
    const Paths usb = Linked(tmp_, {"ttyUSB-sim"});
    const Paths rfcomm = Linked(tmp_, {"rfcomm-sim"});
    ASSERT_EQ(arms.size(), 3u);
    ASSERT_EQ(usb.size(), 2u);
    ASSERT_EQ(rfcomm.size(), 1u);

    // Ports come back as the resolved pty paths, in the folder's own order.
    EXPECT_EQ(API::DetectTriaxons(tmp_), arms);
    EXPECT_EQ(API::DetectWiredHandles(tmp_), usb);
    EXPECT_EQ(API::DetectWirelessHandles(tmp_), rfcomm);
    EXPECT_EQ(API::DetectHandles(tmp_), Linked(tmp_, {"ttyUSB-sim", "rfcomm-sim"}));
    EXPECT_EQ(API::DetectTriaxons(tmp_), arms);  // probed again, still there
}

// Simulators: --link {tmp}/good; --wrong-header-every 1 --link {tmp}/bad
TEST_F(SimDetection, DevicesGivingWrongHeadersAreNotListed) {
    const std::string good = tmp_ + "/good", bad = tmp_ + "/bad";
    ASSERT_EQ(Linked(bad, {"ttyACM-sim", "ttyUSB-sim"}).size(), 2u);
    const auto start = Clock::now();
    EXPECT_EQ(API::DetectTriaxons(bad), Paths{});  // 8B instead of 0B: discarded
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_EQ(API::DetectHandles(bad), Paths{});   // 50 instead of D0: no message
    EXPECT_EQ(API::DetectTriaxons(good), Linked(good, {"ttyACM-sim"}));
    EXPECT_EQ(API::DetectHandles(good), Linked(good, {"ttyUSB-sim"}));
    EXPECT_EQ(Linked(good, {"ttyACM-sim", "ttyUSB-sim"}).size(), 2u);
}

// Simulator: --handles 0 --hangup-after 1 --link {tmp}
TEST_F(SimDetection, DeviceThatHungUpIsGoneFromTheNextDetection) {
    const std::string link = tmp_ + "/ttyACM-sim0";
    const std::string pty = Resolved(link);
    ASSERT_NE(pty, "");
    EXPECT_EQ(API::DetectTriaxons(tmp_), Paths{pty});  // the probe used its one reply
    struct stat st;
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (::lstat(link.c_str(), &st) == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(::lstat(link.c_str(), &st), 0) << "link still there after the hang-up";
    EXPECT_EQ(API::DetectTriaxons(tmp_), Paths{});
}

}  // namespace
