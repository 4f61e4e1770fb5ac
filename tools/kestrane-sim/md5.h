#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ksim {

using Md5Digest = std::array<std::uint8_t, 16>;

// MD5 (RFC 1321) written out here because the simulator takes no dependencies: the device reports the
// digest of a stored file so that the program can check an upload.
class Md5
{
public:
    Md5();
    void add(const std::uint8_t *data, std::size_t size);
    Md5Digest finish();

private:
    void block(const std::uint8_t *data);

    std::array<std::uint32_t, 4> state_;
    std::array<std::uint8_t, 64> buffer_ {};
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;
};

Md5Digest md5(const std::uint8_t *data, std::size_t size);

} // namespace ksim
