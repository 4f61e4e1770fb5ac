#include "md5.h"

namespace ksim {

namespace {

// Per-round shift amounts and the sine-derived constants of RFC 1321, section 3.4.
constexpr std::uint32_t kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 5, 9, 14, 20, 5, 9,
    14, 20, 5, 9, 14, 20, 5, 9, 14, 20, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 6, 10, 15, 21, 6,
    10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr std::uint32_t kSine[64] = {0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6,
    0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681,
    0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa, 0xd4ef3085,
    0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039,
    0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1, 0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82,
    0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

std::uint32_t rotateLeft(std::uint32_t value, std::uint32_t count)
{
    return (value << count) | (value >> (32 - count));
}

} // namespace

Md5::Md5()
    : state_ {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}
{ }

void Md5::block(const std::uint8_t *data)
{
    std::uint32_t words[16];
    for (int i = 0; i < 16; ++i) {
        words[i] = static_cast<std::uint32_t>(data[i * 4]) | static_cast<std::uint32_t>(data[i * 4 + 1]) << 8
            | static_cast<std::uint32_t>(data[i * 4 + 2]) << 16 | static_cast<std::uint32_t>(data[i * 4 + 3]) << 24;
    }
    std::uint32_t a = state_[0];
    std::uint32_t b = state_[1];
    std::uint32_t c = state_[2];
    std::uint32_t d = state_[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f = 0;
        int g = 0;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        const std::uint32_t next = b + rotateLeft(a + f + kSine[i] + words[g], kShift[i]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void Md5::add(const std::uint8_t *data, std::size_t size)
{
    length_ += size;
    while (size > 0) {
        const std::size_t take = size < 64 - buffered_ ? size : 64 - buffered_;
        for (std::size_t i = 0; i < take; ++i)
            buffer_[buffered_ + i] = data[i];
        buffered_ += take;
        data += take;
        size -= take;
        if (buffered_ == 64) {
            block(buffer_.data());
            buffered_ = 0;
        }
    }
}

Md5Digest Md5::finish()
{
    const std::uint64_t bits = length_ * 8;
    const std::uint8_t one = 0x80;
    const std::uint8_t zero = 0x00;
    add(&one, 1);
    while (buffered_ != 56)
        add(&zero, 1);
    std::uint8_t trailer[8];
    for (int i = 0; i < 8; ++i)
        trailer[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    add(trailer, 8);
    Md5Digest digest {};
    for (int i = 0; i < 16; ++i)
        digest[i] = static_cast<std::uint8_t>(state_[i / 4] >> (8 * (i % 4)));
    return digest;
}

Md5Digest md5(const std::uint8_t *data, std::size_t size)
{
    Md5 hash;
    hash.add(data, size);
    return hash.finish();
}

} // namespace ksim
