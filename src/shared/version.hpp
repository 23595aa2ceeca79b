// shared.version: the pipeline's version, as recorded with every audit event.
#pragma once

#include <string_view>

namespace shared::version {

std::string_view pipeline_version();

}  // namespace shared::version
