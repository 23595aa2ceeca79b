#include "apps/kesto/host_output.hpp"

#include <filesystem>

#include "shared/processors/conversion_loss.hpp"
#include "shared/text/fixed.hpp"
#include "shared/text/utf8.hpp"

namespace kesto_cli {

std::string fixed1(double v) { return shared::text::fixed(v, 1); }

std::string outcome_line(const shared::host::task::Outcome& o) {
  std::string line = o.name + "  " + (o.qd_number.empty() ? "-" : o.qd_number) + "  " +
                     std::string(shared::host::task::word(o.status)) + "  " +
                     (o.stage.empty() ? "-" : o.stage) + "  " + fixed1(o.seconds) + "s";
  if (const shared::Record* loss = shared::record::find(o.result, "loss_report")) {
    if (const std::string note = shared::processors::conversion_loss::loss_note(*loss); !note.empty()) {
      line += "  lost: " + note;
    }
  }
  if (!o.error.empty()) line += "  " + shared::text::one_line(o.error);
  // The name and the error carry text from files, registry rows and
  // services: on a terminal it must neither forge a line nor drive it.
  return shared::text::printable(line);
}

std::string self_path() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("kesto") : p.string();
}

}  // namespace kesto_cli
