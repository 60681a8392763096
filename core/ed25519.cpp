#include "core/ed25519.h"

#include <sodium.h>

namespace tessvark {

bool VerifyEd25519(const std::uint8_t* public_key, const std::uint8_t* message, std::size_t length,
                   const std::uint8_t* signature) {
  if (public_key == nullptr || signature == nullptr) return false;
  if (message == nullptr && length != 0) return false;
  if (sodium_init() < 0) return false;
  // libsodium reads nothing from the message when its length is zero, but wants a valid pointer.
  static const unsigned char kEmpty = 0;
  const unsigned char* bytes = message != nullptr ? message : &kEmpty;
  return crypto_sign_verify_detached(signature, bytes, length, public_key) == 0;
}

}  // namespace tessvark
