// Common part of every virtual device: its pty, the incremental request
// parser, the reply path with fault injection, and delayed replies.
#pragma once

#include "FaultInjector.h"
#include "Options.h"
#include "PseudoTerminal.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace Tessary::Sim {

class VirtualDevice {
public:
    using Clock = std::chrono::steady_clock;

    // Longest reply of any device: a handle status with 255 user-data bytes.
    static constexpr std::size_t kMaxReply = 1 + 21 + 255;
    // Longest request of any device: a handle state with 255 user-data bytes.
    static constexpr std::size_t kMaxRequest = 4 + 255;

    explicit VirtualDevice(const FaultOptions& faults);
    virtual ~VirtualDevice();
    VirtualDevice(const VirtualDevice&) = delete;
    VirtualDevice& operator=(const VirtualDevice&) = delete;

    virtual const char* Kind() const = 0;

    bool Open(std::string& error);
    bool IsOpen() const { return pty_.IsOpen(); }
    int PollFd() const { return pty_.MasterFd(); }
    const std::string& PtyPath() const { return pty_.SlavePath(); }

    // Runs just before the device closes its pty for good, so whatever
    // names the line is gone by the time the host sees the hang-up.
    void SetHangUpHook(std::function<void()> hook) { hangUpHook_ = std::move(hook); }

    // The master has bytes (or an error) for us.
    void OnReadable(Clock::time_point now);
    // poll reported an error condition; the line is unusable.
    void OnPollError() { HangUp(); }

    // Sends the delayed replies that are due.
    void FlushDue(Clock::time_point now);
    // Earliest due time of a delayed reply, if any.
    bool NextDue(Clock::time_point& due) const;

protected:
    // Size of the request at data, judged from the bytes available so far:
    // a positive total length (possibly more than available: wait for the
    // rest), or kUnknown to drop the first byte without a reply.
    static constexpr int kUnknown = -1;
    virtual int RequestSize(const std::uint8_t* data, std::size_t available) const = 0;

    // Answers one complete request; calls SendReply() when there is a reply.
    virtual void HandleRequest(const std::uint8_t* request, std::size_t size,
                               Clock::time_point arrival)
        = 0;

    // Where derived classes build their reply before SendReply().
    std::uint8_t* ReplyBuffer() { return reply_.data(); }
    void SendReply(std::size_t size, Clock::time_point arrival);

private:
    struct Delayed {
        Clock::time_point due;
        std::size_t size = 0;
        bool lastBeforeHangup = false;
        std::array<std::uint8_t, kMaxReply> bytes{};
    };
    // Enough for any host that waits for its replies; beyond it replies are
    // lost, as they would be in a device's full transmit queue.
    static constexpr std::size_t kMaxDelayed = 32;

    // A hang-up discards whatever the host has not read yet, so the last
    // reply is given time to reach the host before the line goes down.
    void BeginHangUp(Clock::time_point now);
    void HangUp();

    // The host's queue may look empty before the kernel moved the last reply
    // into it, so drained counts only after kMinDrain; a host that never
    // reads is hung up on after kMaxDrain.
    static constexpr std::chrono::milliseconds kMinDrain{ 10 };
    static constexpr std::chrono::milliseconds kMaxDrain{ 1000 };
    static constexpr std::chrono::milliseconds kDrainCheck{ 1 };

    PseudoTerminal pty_;
    FaultInjector faults_;
    std::function<void()> hangUpHook_;
    bool hangupPending_ = false; // no more requests are answered
    bool draining_ = false;      // the last reply is out; waiting to hang up
    Clock::time_point drainStart_{};

    std::array<std::uint8_t, 4096> input_{};
    std::size_t inputSize_ = 0;
    std::array<std::uint8_t, kMaxReply> reply_{};

    std::array<Delayed, kMaxDelayed> delayed_{};
    std::size_t delayedHead_ = 0;
    std::size_t delayedCount_ = 0;
};

} // namespace Tessary::Sim
