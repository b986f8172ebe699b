#include "System/Crypto/Sha256.h"

#include <gtest/gtest.h>

#include <string>

using System::Crypto::Sha256;

namespace {

// Published test vectors, including the empty message and a message longer than one block.
TEST(Sha256, KnownVectors) {
    const struct {
        std::string message;
        std::string digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Sha256::hexDigest(c.message), c.digest) << "message of " << c.message.size() << " bytes";
    }
}

// Feeding in pieces that straddle block boundaries gives the digest of the whole.
TEST(Sha256, PiecewiseEqualsWhole) {
    std::string message;
    for (int i = 0; i < 1000; ++i) {
        message.push_back(static_cast<char>(i * 7));
    }
    Sha256 hash;
    for (std::size_t at = 0; at < message.size(); at += 63) {
        hash.update(std::string_view(message).substr(at, 63));
    }
    EXPECT_EQ(Sha256::hex(hash.finish()), Sha256::hexDigest(message));
}

TEST(Sha256, RefusesUseAfterFinish) {
    Sha256 hash;
    (void)hash.finish();
    EXPECT_THROW(hash.update("x"), std::logic_error);
    EXPECT_THROW((void)hash.finish(), std::logic_error);
}

} // namespace
