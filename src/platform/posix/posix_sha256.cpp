// SHA-256 through OpenSSL's EVP interface, which picks the processor's SHA
// instructions itself.
#include <openssl/evp.h>

#include "platform/sha256.h"

namespace velumtar {

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
    bool started = false;
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->context = EVP_MD_CTX_new();
    (void)restart();
}

Sha256::~Sha256() = default;

bool Sha256::restart() {
    state_->started = state_->context != nullptr &&
                      EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) == 1;
    return state_->started;
}

bool Sha256::update(const void* data, std::size_t length) {
    if (!state_->started)
        return false;
    state_->started = EVP_DigestUpdate(state_->context, data, length) == 1;
    return state_->started;
}

bool Sha256::finish(Digest& digest) {
    unsigned int length = 0;
    const bool done = state_->started &&
                      EVP_DigestFinal_ex(state_->context, digest.data(), &length) == 1 &&
                      length == digest.size();
    state_->started = false;
    return done;
}

}  // namespace velumtar
