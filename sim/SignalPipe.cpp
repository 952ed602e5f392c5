#include "SignalPipe.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace Tessary::Sim {

volatile std::sig_atomic_t SignalPipe::writeFd_ = -1;

namespace {
constexpr int kSignals[] = { SIGINT, SIGTERM, SIGHUP };
}

void SignalPipe::OnSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    if (writeFd_ >= 0) {
        // A full pipe already holds a wake-up, so a failed write loses nothing.
        [[maybe_unused]] const ssize_t n = ::write(writeFd_, &byte, 1);
    }
    errno = saved;
}

bool SignalPipe::Install()
{
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    for (int fd : fds) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    readFd_ = fds[0];
    writeFd_ = fds[1];

    struct sigaction sa {};
    sa.sa_handler = &SignalPipe::OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int signo : kSignals) {
        if (::sigaction(signo, &sa, nullptr) != 0)
            return false;
    }
    // Writes to a pty whose far end vanished must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    installed_ = true;
    return true;
}

bool SignalPipe::Drain()
{
    bool any = false;
    char buffer[64];
    while (readFd_ >= 0 && ::read(readFd_, buffer, sizeof buffer) > 0)
        any = true;
    return any;
}

SignalPipe::~SignalPipe()
{
    if (installed_) {
        for (int signo : kSignals)
            std::signal(signo, SIG_DFL);
    }
    const int w = writeFd_;
    writeFd_ = -1;
    if (w >= 0)
        ::close(w);
    if (readFd_ >= 0)
        ::close(readFd_);
}

} // namespace Tessary::Sim
