// What the host commands (process, worker) print about documents: one
// line per document as it finishes, the same from every command.
#pragma once

#include <string>

#include "shared/host/task.hpp"

namespace kesto_cli {

// "{name}  {QD-number or -}  {status}  {stage or -}  {seconds:.1f}s[  lost: ...][  {error on one line}]",
// control characters escaped (shared::text::printable).
std::string outcome_line(const shared::host::task::Outcome& o);

// "{v:.1f}".
std::string fixed1(double v);

// The path of the running program, to start its worker processes from.
std::string self_path();

}  // namespace kesto_cli
