#pragma once

#include <cstdint>
#include <string>

namespace ksim {

// The pseudo-terminal that stands in for the adapter's serial port. The program opens the slave side
// through the symlink; the simulator owns the master side. The slave's line settings (including the rate
// the program chose) are visible from the master, which is how the adapter "hears" a wrong rate.
class Pty
{
public:
    Pty() = default;
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    ~Pty();

    bool open(std::string &error);
    bool createLink(const std::string &path, std::string &error);
    void removeLink();
    void close();

    int fd() const { return master_; }
    bool isOpen() const { return master_ >= 0; }

    // The rate the slave side is set to right now (output speed), 0 when it cannot be read.
    std::uint32_t portRate() const;

    enum class ReadStatus { Data, Nothing, HungUp };
    // Reads everything available without blocking and appends it to out. HungUp: no slave descriptor is
    // open any more (whatever was still readable has been appended).
    ReadStatus readAll(std::string &out);

    // Queues bytes for the slave's reader; returns false when the peer has gone and the bytes were lost.
    bool write(const std::string &bytes);
    bool hasPendingOutput() const { return !pending_.empty(); }
    // Pushes queued output once the master is writable again.
    void flushPending();
    void dropPending() { pending_.clear(); }

    // True when some process holds the slave open.
    bool peerOpen() const;
    // Discards output the previous user of the port left unread, so the next one starts clean.
    void discardUnreadOutput();

private:
    int master_ = -1;
    std::string slaveName_;
    std::string linkPath_;
    std::string pending_;
};

} // namespace ksim
