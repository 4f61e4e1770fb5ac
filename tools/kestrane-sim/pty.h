#pragma once

#include "port.h"

#include <cstdint>
#include <string>

namespace ksim {

// The pseudo-terminal that stands in for the adapter's serial port. The program opens the slave side
// through the symlink; the simulator owns the master side. The slave's line settings (including the rate
// the program chose) are visible from the master, which is how the adapter "hears" a wrong rate.
class Pty : public Port
{
public:
    Pty() = default;
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    ~Pty();

    bool open(std::string &error);
    bool createLink(const std::string &path, std::string &error);
    void removeLink() override;
    void close() override;

    const std::string &slaveName() const { return slaveName_; }
    bool isOpen() const { return master_ >= 0; }

    // Port. The rate is the slave side's output speed; HungUp means no slave descriptor is open any more;
    // peerOpen means some process holds the slave open.
    int fd() const override { return master_; }
    std::uint32_t portRate() const override;
    ReadStatus readAll(std::string &out) override;
    bool write(const std::string &bytes) override;
    bool hasPendingOutput() const override { return !pending_.empty(); }
    void flushPending() override;
    void dropPending() override { pending_.clear(); }
    bool peerOpen() const override;
    void discardUnreadOutput() override;

private:
    int master_ = -1;
    std::string slaveName_;
    std::string linkPath_;
    std::string pending_;
};

} // namespace ksim
