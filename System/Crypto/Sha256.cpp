#include "System/Crypto/Sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace System::Crypto {

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
    bool finished = false;
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256()
    : state_(std::make_unique<State>()) {
    state_->context = EVP_MD_CTX_new();
    if (state_->context == nullptr || EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 could not be started.");
    }
}

Sha256::~Sha256() = default;

void Sha256::update(std::string_view bytes) {
    if (state_->finished) {
        throw std::logic_error("SHA-256 fed after it was finished.");
    }
    if (!bytes.empty() && EVP_DigestUpdate(state_->context, bytes.data(), bytes.size()) != 1) {
        throw std::runtime_error("SHA-256 could not take more data.");
    }
}

Sha256::Digest Sha256::finish() {
    if (state_->finished) {
        throw std::logic_error("SHA-256 finished twice.");
    }
    state_->finished = true;
    Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state_->context, digest.data(), &length) != 1 || length != digest.size()) {
        throw std::runtime_error("SHA-256 could not be finished.");
    }
    return digest;
}

std::string Sha256::hex(const Digest& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (const auto byte : digest) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

std::string Sha256::hexDigest(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes);
    return hex(hash.finish());
}

} // namespace System::Crypto
