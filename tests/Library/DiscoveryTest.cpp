#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FakeDevice.h"
#include "Replies.h"
#include "Timing.h"
#include "TessaryHardwareAPI/Discovery.h"
#include "TessaryHardwareAPI/SerialStream.h"

using namespace tessary_test;
namespace API = Tessary::HardwareAPI;
using API::PortKind;
using Clock = std::chrono::steady_clock;
using Paths = std::vector<std::string>;

namespace {

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// A temporary directory standing in for /dev, filled with symbolic links.
class PortDir {
public:
    PortDir() {
        char name[] = "/tmp/tessary-ports-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~PortDir() {
        for (const std::string& name : Names()) {
            const std::string full = path_ + "/" + name;
            if (::unlink(full.c_str()) != 0) ::rmdir(full.c_str());
        }
        ::rmdir(path_.c_str());
    }
    const std::string& Path() const { return path_; }
    void Link(const std::string& name, const std::string& target) {
        ASSERT_EQ(::symlink(target.c_str(), (path_ + "/" + name).c_str()), 0) << name;
    }
    std::string MakeSubdirectory(const std::string& name) {
        const std::string full = path_ + "/" + name;
        ::mkdir(full.c_str(), 0755);
        return RealPath(full);
    }
    // Entry names in the order the directory itself yields them.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(path_.c_str())) {
            while (dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") names.push_back(name);
            }
            ::closedir(dir);
        }
        return names;
    }

private:
    std::string path_;
};

// The paths behind `names`, in directory order, keeping those that `found` maps.
struct Expected {
    std::vector<std::pair<std::string, std::string>> by_name;  // link name, slave path
    Paths InOrder(const PortDir& dir) const {
        Paths paths;
        for (const std::string& name : dir.Names()) {
            for (const auto& [link, path] : by_name) {
                if (link == name) paths.push_back(path);
            }
        }
        return paths;
    }
};

const Bytes kWakeup = {0x0A};

Bytes ArmInfo(uint8_t model) { return WakeupReply(0x1234, model, 2, 3, Counting(0xA0, 16)); }
const Bytes kHandleInfo = HandleInfo(7, 1, 3, 2, 5);
const float kZeroQuaternion[4] = {0, 0, 0, 0};
const Bytes kHandleStatus = tessary_test::HandleStatus(7, 0, 9, kZeroQuaternion, {0xAA, 0xBB});
const Bytes kHandleError = HandleError(7, 3);

}  // namespace

TEST(ListSerialPorts, ClassifiesByFirstMarkerSkipsUnresolvableAndResolvesLinks) {
    FakeDevice device;
    PortDir dir;
    dir.Link("ttyUSBttyACM", device.Path());   // "ttyACM" is looked for first
    dir.Link("rfcomm_ttyUSB", device.Path());  // then "ttyUSB"
    dir.Link("xrfcomm", device.Path());
    dir.Link("hop", device.Path());
    dir.Link("ttyACM9", "hop");  // a chain of links ends at the slave
    dir.Link("ttyUSB7", dir.Path() + "/missing");
    dir.Link("ttyS0", device.Path());
    dir.Link("ttyacm0", device.Path());  // case matters

    std::vector<std::pair<std::string, PortKind>> expected;
    for (const std::string& name : dir.Names()) {
        if (name == "ttyUSBttyACM" || name == "ttyACM9") expected.push_back({device.Path(), PortKind::TtyAcm});
        if (name == "rfcomm_ttyUSB") expected.push_back({device.Path(), PortKind::TtyUsb});
        if (name == "xrfcomm") expected.push_back({device.Path(), PortKind::Rfcomm});
    }
    std::vector<std::pair<std::string, PortKind>> listed;
    for (const API::PortEntry& entry : API::ListSerialPorts(dir.Path())) listed.push_back({entry.path, entry.kind});
    EXPECT_EQ(listed, expected);

    EXPECT_TRUE(API::ListSerialPorts(dir.Path() + "/missing").empty());
    EXPECT_TRUE(API::DetectTriaxons(dir.Path() + "/missing").empty());
    EXPECT_TRUE(API::DetectHandles(dir.Path() + "/missing").empty());
    EXPECT_TRUE(device.Captured().empty());  // listing opens nothing
}

TEST(DetectTriaxons, FindsArmsOnAcmNamesOnlyOneAtATimeInListingOrder) {
    FakeDevice arm0, arm1, model5, usb_arm, serial_arm, handle;
    // The delay shows the probes do not overlap: two at once would take one delay.
    const milliseconds delay(kBudgetMs / 4);
    arm0.Expect(1, ArmInfo(4), delay);
    arm1.Expect(1, ArmInfo(4), delay);
    model5.Answer(10, 1, ArmInfo(5));
    usb_arm.Answer(10, 1, ArmInfo(4));
    serial_arm.Answer(10, 1, ArmInfo(4));
    handle.Answer(10, 1, kHandleInfo);

    PortDir dir;
    dir.Link("ttyACM0", arm0.Path());
    dir.Link("xttyACM1", arm1.Path());
    dir.Link("ttyACM2", model5.Path());
    dir.Link("ttyUSB0", usb_arm.Path());
    dir.Link("ttyS0", serial_arm.Path());
    dir.Link("rfcomm0", handle.Path());

    std::vector<std::pair<std::string, PortKind>> expected_listing;
    for (const std::string& name : dir.Names()) {
        if (name == "ttyACM0") expected_listing.push_back({arm0.Path(), PortKind::TtyAcm});
        if (name == "xttyACM1") expected_listing.push_back({arm1.Path(), PortKind::TtyAcm});
        if (name == "ttyACM2") expected_listing.push_back({model5.Path(), PortKind::TtyAcm});
        if (name == "ttyUSB0") expected_listing.push_back({usb_arm.Path(), PortKind::TtyUsb});
        if (name == "rfcomm0") expected_listing.push_back({handle.Path(), PortKind::Rfcomm});
    }
    std::vector<std::pair<std::string, PortKind>> listed;
    for (const API::PortEntry& entry : API::ListSerialPorts(dir.Path())) listed.push_back({entry.path, entry.kind});
    EXPECT_EQ(listed, expected_listing);

    const Expected arms{{{"ttyACM0", arm0.Path()}, {"xttyACM1", arm1.Path()}}};
    const auto start = Clock::now();
    EXPECT_EQ(API::DetectTriaxons(dir.Path()), arms.InOrder(dir));
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, 2 * delay.count() - kInstantMs / 2);
    EXPECT_LT(ms, kOneWaitMs);

    EXPECT_EQ(arm0.Captured(), kWakeup);
    EXPECT_EQ(arm1.Captured(), kWakeup);
    EXPECT_EQ(model5.Captured(), kWakeup);
    EXPECT_TRUE(usb_arm.Captured().empty());
    EXPECT_TRUE(serial_arm.Captured().empty());
    EXPECT_TRUE(handle.Captured().empty());
}

TEST(DetectHandles, FindsInformationAndStatusAnswersOnTheirKindOfPort) {
    FakeDevice usb_info, usb_status, usb_error, usb_arm, rf_status, rf_info, acm_handle;
    usb_info.Answer(10, 1, kHandleInfo);
    usb_status.Answer(10, 1, kHandleStatus);
    usb_error.Answer(10, 1, kHandleError);
    usb_arm.Answer(10, 1, ArmInfo(4));
    rf_status.Answer(10, 1, kHandleStatus);
    rf_info.Answer(10, 1, kHandleInfo);
    acm_handle.Answer(10, 1, kHandleInfo);

    PortDir dir;
    dir.Link("ttyUSB0", usb_info.Path());
    dir.Link("ttyUSB1", usb_error.Path());
    dir.Link("ttyUSB2", usb_arm.Path());
    dir.Link("xttyUSB3", usb_status.Path());
    dir.Link("rfcomm0", rf_status.Path());
    dir.Link("rfcomm1", rf_info.Path());
    dir.Link("ttyACM0", acm_handle.Path());

    const Expected wired{{{"ttyUSB0", usb_info.Path()}, {"xttyUSB3", usb_status.Path()}}};
    const Expected wireless{{{"rfcomm0", rf_status.Path()}, {"rfcomm1", rf_info.Path()}}};
    const Expected both{{{"ttyUSB0", usb_info.Path()},
                         {"xttyUSB3", usb_status.Path()},
                         {"rfcomm0", rf_status.Path()},
                         {"rfcomm1", rf_info.Path()}}};
    const std::vector<FakeDevice*> usb = {&usb_info, &usb_status, &usb_error, &usb_arm};
    const std::vector<FakeDevice*> rfcomm = {&rf_status, &rf_info};
    auto wakeups = [](int n) { return Bytes(static_cast<size_t>(n), 0x0A); };

    EXPECT_EQ(API::DetectWiredHandles(dir.Path()), wired.InOrder(dir));
    for (FakeDevice* d : usb) EXPECT_EQ(d->Captured(), wakeups(1)) << d->Path();
    for (FakeDevice* d : rfcomm) EXPECT_TRUE(d->Captured().empty()) << d->Path();

    EXPECT_EQ(API::DetectWirelessHandles(dir.Path()), wireless.InOrder(dir));
    for (FakeDevice* d : usb) EXPECT_EQ(d->Captured(), wakeups(1)) << d->Path();
    for (FakeDevice* d : rfcomm) EXPECT_EQ(d->Captured(), wakeups(1)) << d->Path();

    // Nothing is remembered: the second call probes every candidate again.
    const auto start = Clock::now();
    EXPECT_EQ(API::DetectHandles(dir.Path()), both.InOrder(dir));
    EXPECT_EQ(API::DetectHandles(dir.Path()), both.InOrder(dir));
    EXPECT_LT(ElapsedMs(start), kBudgetMs);  // every candidate answered at once
    for (FakeDevice* d : usb) EXPECT_EQ(d->Captured(), wakeups(3)) << d->Path();
    for (FakeDevice* d : rfcomm) EXPECT_EQ(d->Captured(), wakeups(3)) << d->Path();

    EXPECT_TRUE(acm_handle.Captured().empty());
}

TEST(Probing, SilentShortAndRefusingPortsAreSkippedAndEveryPortIsClosed) {
    // Not holding the slave, so each fake sees the library hang up.
    FakeDevice silent_arm(false), arm(false), garbage(false), silent_usb(false), short_handle(false);
    arm.Answer(10, 1, ArmInfo(4));
    garbage.Answer(10, 1, {0x42, 1, 2});
    short_handle.Answer(10, 1, {208, 0x07, 0x00});  // information cut short

    PortDir dir;
    const std::string not_a_port = dir.MakeSubdirectory("notaport");
    dir.Link("ttyACM0", not_a_port);
    dir.Link("ttyACM1", dir.Path() + "/gone");
    dir.Link("ttyACM2", silent_arm.Path());
    dir.Link("ttyACM3", arm.Path());
    dir.Link("ttyACM4", garbage.Path());
    dir.Link("ttyUSB0", silent_usb.Path());
    dir.Link("rfcomm0", short_handle.Path());

    std::string errors;
    int descriptors_before = 0, descriptors_after = 0;
    long triaxon_ms = 0, wired_ms = 0, wireless_ms = 0;
    Paths triaxons, wired, wireless;
    {
        StderrCapture capture;
        descriptors_before = OpenDescriptorCount();
        // The three kinds of port are disjoint, so the three detections run
        // side by side and their waits overlap.
        auto timed = [&dir](Paths (*detect)(const std::string&), Paths& found, long& ms) {
            return std::thread([&dir, detect, &found, &ms] {
                const auto start = Clock::now();
                found = detect(dir.Path());
                ms = ElapsedMs(start);
            });
        };
        std::thread threads[] = {timed(&API::DetectTriaxons, triaxons, triaxon_ms),
                                 timed(&API::DetectWiredHandles, wired, wired_ms),
                                 timed(&API::DetectWirelessHandles, wireless, wireless_ms)};
        for (std::thread& thread : threads) thread.join();
        descriptors_after = OpenDescriptorCount();
        errors = capture.Text();
    }
    EXPECT_EQ(triaxons, Paths{arm.Path()});
    EXPECT_TRUE(wired.empty());
    EXPECT_TRUE(wireless.empty());

    // One read budget for the silent arm (its drain returns at once after the
    // failed header read) and one for draining the unknown answer.
    EXPECT_GE(triaxon_ms, 2 * kTimedOutMs);
    EXPECT_LT(triaxon_ms, 2 * kOneWaitMs);
    EXPECT_GE(wired_ms, kTimedOutMs);  // the silent handle: one read budget
    EXPECT_LT(wired_ms, kOneWaitMs);
    EXPECT_GE(wireless_ms, kTimedOutMs);
    EXPECT_LT(wireless_ms, kOneWaitMs);

    // The directory gives the one error line; the dangling link gives none.
    const std::regex line("\\[err\\] Library/src/SerialStream\\.cpp:[0-9]+> unable to open port '" + not_a_port +
                          "': \\[21\\] Is a directory\n");
    EXPECT_TRUE(std::regex_match(errors, line)) << errors;

    EXPECT_EQ(descriptors_after, descriptors_before);
    for (FakeDevice* d : {&silent_arm, &arm, &garbage, &silent_usb, &short_handle}) {
        EXPECT_EQ(d->Captured(), kWakeup) << d->Path();
        EXPECT_TRUE(d->WaitHangups(1)) << d->Path();
    }
}

TEST(Probing, APortInUseIsPassedOverUntouched) {
    FakeDevice held, free_arm;
    held.Answer(10, 1, ArmInfo(4));
    free_arm.Answer(10, 1, ArmInfo(4));
    PortDir dir;
    dir.Link("ttyACM0", held.Path());
    dir.Link("ttyACM1", free_arm.Path());
    Tessary::HardwareAPI::IO::SerialStream owner(held.Path(), true);

    StderrCapture err;
    const auto start = Clock::now();
    EXPECT_EQ(API::DetectTriaxons(dir.Path()), Paths{free_arm.Path()});
    EXPECT_LT(ElapsedMs(start), kWithinBudgetMs);
    EXPECT_TRUE(held.Captured().empty());  // not woken, not reconfigured
    EXPECT_TRUE(owner.Good());
    const std::regex line("\\[err\\] Library/src/SerialStream\\.cpp:[0-9]+> unable to open port '" +
                          std::string(held.Path()) + "': \\[16\\] Device or resource busy\n");
    EXPECT_TRUE(std::regex_match(err.Text(), line)) << err.Text();
}
