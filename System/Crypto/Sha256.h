#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace System::Crypto {

// A SHA-256 computation fed piece by piece, so that a file of any size is hashed in constant memory.
class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::string_view bytes);
    // Ends the computation; the object cannot be fed afterwards.
    Digest finish();

    // The digest as 64 lower-case hexadecimal digits.
    static std::string hex(const Digest& digest);
    // SHA-256 of `bytes` as 64 lower-case hexadecimal digits.
    static std::string hexDigest(std::string_view bytes);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace System::Crypto
