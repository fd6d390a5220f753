// SHA-256 through CNG (bcrypt.dll, part of every Windows since Vista): a hash
// object per digest, its memory left to CNG (Windows 7 on), since the reusable
// objects and BCryptHash need later versions.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include "platform/sha256.h"

namespace velumtar {

namespace {

bool succeeded(NTSTATUS status) {
    return status >= 0;
}

}  // namespace

struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~State() {
        if (hash != nullptr)
            BCryptDestroyHash(hash);
        if (algorithm != nullptr)
            BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    if (!succeeded(
            BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        state_->algorithm = nullptr;
    (void)restart();
}

Sha256::~Sha256() = default;

bool Sha256::restart() {
    if (state_->hash != nullptr) {
        BCryptDestroyHash(state_->hash);
        state_->hash = nullptr;
    }
    if (state_->algorithm == nullptr ||
        !succeeded(BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0)))
        state_->hash = nullptr;
    return state_->hash != nullptr;
}

bool Sha256::update(const void* data, std::size_t length) {
    if (state_->hash == nullptr)
        return false;
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    while (length > 0) {
        const ULONG chunk = length > 0x40000000u ? 0x40000000u : static_cast<ULONG>(length);
        if (!succeeded(BCryptHashData(state_->hash, bytes, chunk, 0))) {
            BCryptDestroyHash(state_->hash);
            state_->hash = nullptr;
            return false;
        }
        bytes += chunk;
        length -= chunk;
    }
    return true;
}

bool Sha256::finish(Digest& digest) {
    if (state_->hash == nullptr)
        return false;
    const bool done = succeeded(
        BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    BCryptDestroyHash(state_->hash);
    state_->hash = nullptr;
    return done;
}

}  // namespace velumtar
