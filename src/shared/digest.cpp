#include "shared/digest.hpp"

#include <openssl/evp.h>

#include "shared/errors.hpp"

namespace shared::digest {

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_sha256(), nullptr) != 1) {
    throw Error("SHA-256 of " + std::to_string(bytes.size()) + " bytes failed");
  }
  static const char* hex = "0123456789abcdef";
  std::string out;
  out.reserve(len * 2);
  for (unsigned int i = 0; i < len; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

}  // namespace shared::digest
