// shared.digest: content digests of artefacts and section texts.
#pragma once

#include <string>
#include <string_view>

namespace shared::digest {

// Lower-case hex SHA-256 of the bytes.
std::string sha256_hex(std::string_view bytes);

}  // namespace shared::digest
