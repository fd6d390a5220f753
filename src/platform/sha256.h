// SHA-256 of a stream of bytes, computed by the system's own implementation
// (OpenSSL's libcrypto on POSIX, CNG on Windows), which uses the processor's
// SHA instructions where it has them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace velumtar {

class Sha256 {
  public:
    using Digest = std::array<std::uint8_t, 32>;

    // Ready for the first update. When the system cannot provide the hash,
    // every call answers false.
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // Starts a new digest, forgetting what was hashed so far.
    [[nodiscard]] bool restart();
    [[nodiscard]] bool update(const void* data, std::size_t length);
    // The digest of everything since the last restart; the next digest needs
    // a restart.
    [[nodiscard]] bool finish(Digest& digest);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace velumtar
