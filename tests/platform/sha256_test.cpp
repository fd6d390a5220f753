#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace velumtar {
namespace {

std::string hex(const Sha256::Digest& digest) {
    static const char* const kDigits = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

// The examples of FIPS 180-4 (and the empty message), each hashed whole and
// in uneven pieces by one object restarted between messages.
TEST(Sha256, StandardExamples) {
    struct Case {
        std::string message;
        const char* digest;
    };
    const Case cases[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    Sha256 sha;
    for (const Case& c : cases) {
        for (std::size_t piece : {c.message.size() + 1, std::size_t{7}}) {
            ASSERT_TRUE(sha.restart());
            for (std::size_t at = 0; at < c.message.size(); at += piece)
                ASSERT_TRUE(
                    sha.update(c.message.data() + at, std::min(piece, c.message.size() - at)));
            Sha256::Digest digest{};
            ASSERT_TRUE(sha.finish(digest));
            EXPECT_EQ(hex(digest), c.digest) << c.message.size() << " bytes by " << piece;
        }
    }
}

}  // namespace
}  // namespace velumtar
