// Checks the simulator's MD5 against the test suite of RFC 1321, appendix A.5: a wrong digest would make
// every upload check of the program fail for the simulator's sake.

#include "hex.h"
#include "md5.h"

#include <cstdio>
#include <string>

int main()
{
    struct Vector
    {
        std::string input;
        const char *digest;
    };
    const Vector vectors[] = {
        {"", "D41D8CD98F00B204E9800998ECF8427E"},
        {"a", "0CC175B9C0F1B6A831C399E269772661"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "D174AB98D277D9F5A5611C2C9F419D9F"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
            "57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    int passed = 0;
    int failed = 0;
    for (const Vector &vector : vectors) {
        const ksim::Md5Digest digest
            = ksim::md5(reinterpret_cast<const std::uint8_t *>(vector.input.data()), vector.input.size());
        const std::string text = ksim::toHex(digest.data(), digest.size());
        if (text == vector.digest) {
            ++passed;
        } else {
            ++failed;
            std::printf("md5(\"%s\") = %s, expected %s\n", vector.input.c_str(), text.c_str(), vector.digest);
        }
    }
    // Feeding the same text in uneven pieces must not change the digest.
    ksim::Md5 pieces;
    const std::string text = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (std::size_t at = 0, step = 1; at < text.size(); at += step, ++step) {
        const std::size_t take = step < text.size() - at ? step : text.size() - at;
        pieces.add(reinterpret_cast<const std::uint8_t *>(text.data() + at), take);
    }
    const ksim::Md5Digest split = pieces.finish();
    if (ksim::toHex(split.data(), split.size()) == "D174AB98D277D9F5A5611C2C9F419D9F") {
        ++passed;
    } else {
        ++failed;
        std::printf("md5 fed in pieces differs\n");
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
