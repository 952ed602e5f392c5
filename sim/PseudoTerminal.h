// One pseudo-terminal pair whose slave side stands in for a device's serial
// port. The simulator talks on the master; the host opens the slave path.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace Tessary::Sim {

class PseudoTerminal {
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Creates the pair; on failure returns false with a message.
    bool Open(std::string& error);

    // Closes both sides, so a host holding the slave open sees a hang-up.
    void Close();

    bool IsOpen() const { return master_ >= 0; }
    int MasterFd() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }

    // Non-blocking read from the master: bytes the host wrote, 0 when none.
    ssize_t Read(void* buffer, std::size_t size);

    // Bytes written to the host that it has not read yet.
    int PendingForHost() const;

    // One write() of the whole block. What the line cannot take is lost, as
    // on a real serial link whose receiver does not keep up.
    void Write(const void* data, std::size_t size);

private:
    int master_ = -1;
    int slave_ = -1; // held open (never read) so the master never hangs up
    std::string slavePath_;
};

} // namespace Tessary::Sim
