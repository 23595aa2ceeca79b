#include "shared/version.hpp"

#ifndef KESTO_VERSION
#error "KESTO_VERSION is defined by the build"
#endif

namespace shared::version {

std::string_view pipeline_version() { return KESTO_VERSION; }

}  // namespace shared::version
