#include "VirtualDevice.h"

#include <cstring>

namespace Tessary::Sim {

VirtualDevice::VirtualDevice(const FaultOptions& faults)
    : faults_(faults)
{
}

VirtualDevice::~VirtualDevice() = default;

bool VirtualDevice::Open(std::string& error)
{
    return pty_.Open(error);
}

void VirtualDevice::BeginHangUp(Clock::time_point now)
{
    draining_ = true;
    drainStart_ = now;
}

void VirtualDevice::HangUp()
{
    draining_ = false;
    if (pty_.IsOpen() && hangUpHook_)
        hangUpHook_();
    pty_.Close();
    delayedCount_ = 0;
    inputSize_ = 0;
}

void VirtualDevice::OnReadable(Clock::time_point now)
{
    if (!pty_.IsOpen())
        return;
    const ssize_t n = pty_.Read(input_.data() + inputSize_, input_.size() - inputSize_);
    if (n < 0) {
        HangUp();
        return;
    }
    if (hangupPending_) {
        // Past the last reply: swallow what comes, or poll would never rest.
        inputSize_ = 0;
        return;
    }
    inputSize_ += static_cast<std::size_t>(n);

    std::size_t offset = 0;
    while (offset < inputSize_ && pty_.IsOpen() && !hangupPending_) {
        const std::uint8_t* at = input_.data() + offset;
        const std::size_t available = inputSize_ - offset;
        const int size = RequestSize(at, available);
        if (size == kUnknown) {
            ++offset;
            continue;
        }
        if (static_cast<std::size_t>(size) > available)
            break; // the rest is still on its way
        HandleRequest(at, static_cast<std::size_t>(size), now);
        offset += static_cast<std::size_t>(size);
    }
    if (!pty_.IsOpen()) {
        inputSize_ = 0;
        return;
    }
    // Requests after the last reply before a hang-up are never answered.
    if (hangupPending_)
        offset = inputSize_;
    // A partial request (at most kMaxRequest - 1 bytes) moves to the front.
    std::memmove(input_.data(), input_.data() + offset, inputSize_ - offset);
    inputSize_ -= offset;
}

void VirtualDevice::SendReply(std::size_t size, Clock::time_point arrival)
{
    const FaultInjector::Decision d = faults_.Next();
    if (d.lastBeforeHangup)
        hangupPending_ = true;

    std::size_t sent = size;
    if (d.drop)
        sent = 0;
    if (d.truncate)
        sent = size / 2;
    if (d.wrongHeader && size > 0)
        reply_[0] ^= 0x80;

    if (faults_.DelayUs() == 0) {
        pty_.Write(reply_.data(), sent);
        if (hangupPending_)
            BeginHangUp(arrival);
        return;
    }

    if (delayedCount_ == kMaxDelayed) {
        // Queue full: this reply is lost, but the hang-up still happens,
        // right after the newest queued reply.
        if (d.lastBeforeHangup)
            delayed_[(delayedHead_ + delayedCount_ - 1) % kMaxDelayed].lastBeforeHangup = true;
        return;
    }
    Delayed& slot = delayed_[(delayedHead_ + delayedCount_) % kMaxDelayed];
    slot.due = arrival + std::chrono::microseconds(faults_.DelayUs());
    slot.size = sent;
    slot.lastBeforeHangup = d.lastBeforeHangup;
    std::memcpy(slot.bytes.data(), reply_.data(), sent);
    ++delayedCount_;
}

void VirtualDevice::FlushDue(Clock::time_point now)
{
    if (draining_) {
        const auto waited = now - drainStart_;
        if ((waited >= kMinDrain && pty_.PendingForHost() == 0) || waited >= kMaxDrain)
            HangUp();
        return;
    }
    while (delayedCount_ > 0 && pty_.IsOpen()) {
        Delayed& slot = delayed_[delayedHead_];
        if (slot.due > now)
            return;
        pty_.Write(slot.bytes.data(), slot.size);
        const bool last = slot.lastBeforeHangup;
        delayedHead_ = (delayedHead_ + 1) % kMaxDelayed;
        --delayedCount_;
        if (last) {
            BeginHangUp(now);
            return;
        }
    }
}

bool VirtualDevice::NextDue(Clock::time_point& due) const
{
    if (!pty_.IsOpen())
        return false;
    if (draining_) {
        due = Clock::now() + kDrainCheck;
        return true;
    }
    if (delayedCount_ == 0)
        return false;
    due = delayed_[delayedHead_].due;
    return true;
}

} // namespace Tessary::Sim
