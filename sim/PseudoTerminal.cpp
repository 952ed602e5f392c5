#include "PseudoTerminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace Tessary::Sim {

PseudoTerminal::~PseudoTerminal()
{
    Close();
}

bool PseudoTerminal::Open(std::string& error)
{
    auto fail = [&](const char* what) {
        error = std::string(what) + ": " + std::strerror(errno);
        Close();
        return false;
    };

    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0)
        return fail("posix_openpt");
    if (::fcntl(master_, F_SETFD, FD_CLOEXEC) != 0)
        return fail("fcntl(FD_CLOEXEC)");
    const int flags = ::fcntl(master_, F_GETFL);
    if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0)
        return fail("fcntl(O_NONBLOCK)");
    if (::grantpt(master_) != 0)
        return fail("grantpt");
    if (::unlockpt(master_) != 0)
        return fail("unlockpt");
    const char* name = ::ptsname(master_);
    if (name == nullptr)
        return fail("ptsname");
    slavePath_ = name;

    // While no host has the slave open, the last slave close would put the
    // master in a permanent hang-up state (poll reports POLLHUP forever).
    // Holding our own descriptor keeps the line alive across host sessions.
    slave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0)
        return fail("open slave");

    // Raw from the start: the default line discipline would echo a host's
    // first bytes back to it before the host has configured the port.
    termios tio{};
    if (::tcgetattr(slave_, &tio) != 0)
        return fail("tcgetattr");
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(slave_, TCSANOW, &tio) != 0)
        return fail("tcsetattr");
    return true;
}

void PseudoTerminal::Close()
{
    if (slave_ >= 0) {
        ::close(slave_);
        slave_ = -1;
    }
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

ssize_t PseudoTerminal::Read(void* buffer, std::size_t size)
{
    if (master_ < 0)
        return -1;
    for (;;) {
        const ssize_t n = ::read(master_, buffer, size);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
}

int PseudoTerminal::PendingForHost() const
{
    // Our slave descriptor shares the host's input queue.
    int n = 0;
    if (slave_ < 0 || ::ioctl(slave_, FIONREAD, &n) != 0)
        return 0;
    return n;
}

void PseudoTerminal::Write(const void* data, std::size_t size)
{
    if (master_ < 0 || size == 0)
        return;
    ssize_t n;
    do {
        n = ::write(master_, data, size);
    } while (n < 0 && errno == EINTR);
}

} // namespace Tessary::Sim
