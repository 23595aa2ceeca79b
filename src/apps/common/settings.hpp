// The settings a command needs before it does any work: a command that
// reaches a service names every missing variable at once (exit status 2)
// instead of failing on the first socket it cannot open.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "shared/required_settings.hpp"

namespace apps {

// What a command reaches.
using Reach = shared::required_settings::Reach;

// The unset variables that `reaches` need, in a fixed order, each once.
std::vector<std::string> missing_settings(std::initializer_list<Reach> reaches);

// Throws shared::ValueError "missing settings: A, B (set them in the
// environment or in .env)" when `missing` is not empty.
void require_settings(const std::vector<std::string>& missing);

}  // namespace apps
