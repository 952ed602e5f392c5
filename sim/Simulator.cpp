#include "Simulator.h"

#include "SignalPipe.h"
#include "VirtualArm.h"
#include "VirtualHandle.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <unistd.h>
#include <utility>

namespace Tessary::Sim {

namespace {

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

} // namespace

Simulator::Simulator(Options options)
    : options_(std::move(options))
{
}

Simulator::~Simulator()
{
    RemoveLinks();
}

bool Simulator::CreateDevices(std::string& error)
{
    entries_.reserve(options_.triaxons + options_.handles);
    for (unsigned i = 0; i < options_.triaxons; ++i)
        entries_.push_back({ std::make_unique<VirtualArm>(i, options_.faults), {} });
    for (unsigned i = 0; i < options_.handles; ++i)
        entries_.push_back({ std::make_unique<VirtualHandle>(i, options_.faults), {} });
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (!entries_[i].device->Open(error))
            return false;
        entries_[i].device->SetHangUpHook([this, i] { RemoveLink(entries_[i]); });
    }
    return true;
}

bool Simulator::CreateLinks(std::string& error)
{
    if (options_.linkDir.empty())
        return true;
    std::error_code ec;
    std::filesystem::create_directories(options_.linkDir, ec);
    char resolved[PATH_MAX];
    if (ec || ::realpath(options_.linkDir.c_str(), resolved) == nullptr) {
        error = "link directory '" + options_.linkDir + "': " + (ec ? ec.message() : std::strerror(errno));
        return false;
    }
    const std::string dir = resolved;
    const char* handlePrefix = options_.wireless ? "rfcomm-sim" : "ttyUSB-sim";
    unsigned arm = 0;
    unsigned handle = 0;
    for (auto& e : entries_) {
        const bool isArm = std::strcmp(e.device->Kind(), "triaxon") == 0;
        const std::string name = isArm ? "ttyACM-sim" + std::to_string(arm++)
                                       : handlePrefix + std::to_string(handle++);
        const std::string path = dir + "/" + name;
        // symlink() never replaces: whatever holds the name (another
        // simulator's link, a leftover, a file) is not ours to touch.
        if (::symlink(e.device->PtyPath().c_str(), path.c_str()) != 0) {
            error = errno == EEXIST
                ? "'" + path + "' already exists: another simulator may be using " + dir
                    + " (give --link another folder, or remove it if stale)"
                : "symlink '" + path + "': " + std::strerror(errno);
            return false;
        }
        e.link = path;
    }
    return true;
}

void Simulator::Announce() const
{
    for (const auto& e : entries_) {
        const std::string line = std::string("{\"kind\": ") + JsonString(e.device->Kind())
            + ", \"pty\": " + JsonString(e.device->PtyPath())
            + ", \"link\": " + (e.link.empty() ? "null" : JsonString(e.link)) + "}\n";
        std::fputs(line.c_str(), stdout);
    }
    // The last line says that every device is up and the signal handlers are
    // in place, so a launcher reads until it instead of counting devices.
    std::fprintf(stdout, "{\"ready\": true, \"devices\": %zu}\n", entries_.size());
    std::fflush(stdout);
}

void Simulator::RemoveLink(Entry& entry)
{
    if (entry.link.empty())
        return;
    // Only remove what still is our link: someone may have replaced it.
    char target[PATH_MAX];
    const ssize_t n = ::readlink(entry.link.c_str(), target, sizeof target - 1);
    if (n >= 0) {
        target[n] = '\0';
        if (entry.device->PtyPath() == target)
            ::unlink(entry.link.c_str());
    }
    entry.link.clear();
}

void Simulator::RemoveLinks()
{
    for (auto& e : entries_)
        RemoveLink(e);
}

void Simulator::Serve(int signalFd)
{
    using Clock = VirtualDevice::Clock;
    std::vector<pollfd> fds;
    std::vector<std::size_t> owner; // entries_ index of fds[i + 1]
    fds.reserve(entries_.size() + 1);
    owner.reserve(entries_.size());

    for (;;) {
        fds.clear();
        owner.clear();
        fds.push_back({ signalFd, POLLIN, 0 });
        bool haveDue = false;
        Clock::time_point due{};
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            VirtualDevice& d = *entries_[i].device;
            if (!d.IsOpen())
                continue;
            fds.push_back({ d.PollFd(), POLLIN, 0 });
            owner.push_back(i);
            Clock::time_point next;
            if (d.NextDue(next) && (!haveDue || next < due)) {
                due = next;
                haveDue = true;
            }
        }

        timespec timeout{};
        timespec* timeoutPtr = nullptr;
        if (haveDue) {
            const auto wait = due - Clock::now();
            const long long ns = wait.count() > 0
                ? std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count()
                : 0;
            timeout.tv_sec = static_cast<time_t>(ns / 1000000000LL);
            timeout.tv_nsec = static_cast<long>(ns % 1000000000LL);
            timeoutPtr = &timeout;
        }

        const int ready = ::ppoll(fds.data(), fds.size(), timeoutPtr, nullptr);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "tessary-sim: poll: %s\n", std::strerror(errno));
            return;
        }
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            // Whatever the signal, it means: stop serving and clean up.
            return;
        }

        const Clock::time_point now = Clock::now();
        for (std::size_t k = 1; ready > 0 && k < fds.size(); ++k) {
            const short ev = fds[k].revents;
            Entry& e = entries_[owner[k - 1]];
            if ((ev & POLLIN) != 0)
                e.device->OnReadable(now);
            else if ((ev & (POLLERR | POLLHUP | POLLNVAL)) != 0)
                e.device->OnPollError();
        }
        const Clock::time_point after = Clock::now();
        for (auto& e : entries_)
            e.device->FlushDue(after);
    }
}

int Simulator::Run()
{
    SignalPipe signals;
    if (!signals.Install()) {
        std::fprintf(stderr, "tessary-sim: signal set-up: %s\n", std::strerror(errno));
        return 1;
    }
    std::string error;
    if (!CreateDevices(error) || !CreateLinks(error)) {
        std::fprintf(stderr, "tessary-sim: %s\n", error.c_str());
        RemoveLinks();
        return 1;
    }
    Announce();
    Serve(signals.ReadFd());
    RemoveLinks();
    return 0;
}

} // namespace Tessary::Sim
