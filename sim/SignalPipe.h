// Turns SIGINT, SIGTERM and SIGHUP into a readable descriptor (the self-pipe
// trick), so the poll loop notices them and the process can clean up.
#pragma once

#include <csignal>

namespace Tessary::Sim {

class SignalPipe {
public:
    SignalPipe() = default;
    ~SignalPipe();
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    // Installs the handlers; false (with errno set) on failure.
    bool Install();

    int ReadFd() const { return readFd_; }
    // True once a signal arrived; empties the pipe.
    bool Drain();

private:
    static void OnSignal(int signo);
    static volatile std::sig_atomic_t writeFd_;

    int readFd_ = -1;
    bool installed_ = false;
};

} // namespace Tessary::Sim
