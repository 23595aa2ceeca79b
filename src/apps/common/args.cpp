#include "apps/common/args.hpp"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "shared/errors.hpp"
#include "shared/fs/files.hpp"
#include "shared/text/utf8.hpp"

namespace apps {

bool Parsed::has(const std::string& name) const { return values.count(name) > 0; }

std::string Parsed::get(const std::string& name, const std::string& def) const {
  auto it = values.find(name);
  return it == values.end() || it->second.empty() ? def : it->second.back();
}

std::vector<std::string> Parsed::list(const std::string& name) const {
  auto it = values.find(name);
  return it == values.end() ? std::vector<std::string>{} : it->second;
}

long Parsed::get_long(const std::string& name, long def) const {
  if (!has(name)) return def;
  const std::string v = get(name);
  try {
    std::size_t used = 0;
    const long n = std::stol(v, &used);
    if (used != v.size()) throw std::invalid_argument(v);
    return n;
  } catch (const std::exception&) {
    throw UsageError("--" + name + " expects a whole number, got '" + v + "'");
  }
}

ArgParser::ArgParser(std::string prog, std::string description)
    : prog_(std::move(prog)), description_(std::move(description)) {}

ArgParser& ArgParser::option(const std::string& name, const std::string& short_name, const std::string& metavar,
                             const std::string& help) {
  opts_.push_back({name, short_name, metavar, help, false});
  return *this;
}

ArgParser& ArgParser::flag(const std::string& name, const std::string& short_name, const std::string& help) {
  opts_.push_back({name, short_name, "", help, true});
  return *this;
}

ArgParser& ArgParser::positional(const std::string& name, Arity arity, const std::string& help) {
  pos_.push_back({name, arity, help});
  return *this;
}

ArgParser& ArgParser::epilog(const std::string& text) {
  epilog_ = text;
  return *this;
}

ArgParser& ArgParser::dash_words_are_positional() {
  dash_words_positional_ = true;
  return *this;
}

ArgParser& ArgParser::with_log_level() {
  return option("log-level", "", "LEVEL", "log threshold: debug, info, warning, error, critical (default info)");
}

std::string ArgParser::help() const {
  std::ostringstream out;
  out << "usage: " << prog_ << " [options]";
  for (const Pos& p : pos_) {
    switch (p.arity) {
      case Arity::one: out << ' ' << p.name; break;
      case Arity::optional: out << " [" << p.name << ']'; break;
      case Arity::many: out << " [" << p.name << "...]"; break;
      case Arity::at_least_one: out << ' ' << p.name << "..."; break;
    }
  }
  out << "\n\n" << description_ << "\n";
  if (!pos_.empty()) {
    out << "\narguments:\n";
    for (const Pos& p : pos_) out << "  " << p.name << std::string(p.name.size() < 22 ? 22 - p.name.size() : 1, ' ') << p.help << "\n";
  }
  out << "\noptions:\n";
  out << "  -h, --help              show this help and exit\n";
  for (const Opt& o : opts_) {
    std::string left = o.short_name.empty() ? "    " : "-" + o.short_name + ", ";
    left += "--" + o.name;
    if (!o.is_flag) left += " " + o.metavar;
    out << "  " << left << std::string(left.size() < 22 ? 22 - left.size() : 1, ' ') << o.help << "\n";
  }
  if (!epilog_.empty()) out << "\n" << epilog_ << "\n";
  return out.str();
}

Parsed ArgParser::parse(const std::vector<std::string>& args) const {
  Parsed parsed;
  std::vector<std::string> positionals;
  bool only_positionals = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (only_positionals || a.size() < 2 || a[0] != '-') {
      positionals.push_back(a);
      continue;
    }
    if (a == "--") { only_positionals = true; continue; }
    if (a == "-h" || a == "--help") {
      std::cout << help();
      std::cout.flush();
      throw HelpShown{};
    }
    std::string name, value;
    bool has_value = false;
    const Opt* opt = nullptr;
    if (a.rfind("--", 0) == 0) {
      name = a.substr(2);
      if (auto eq = name.find('='); eq != std::string::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
        has_value = true;
      }
      for (const Opt& o : opts_) if (o.name == name) opt = &o;
    } else {
      name = a.substr(1);
      for (const Opt& o : opts_) if (!o.short_name.empty() && o.short_name == name) opt = &o;
      if (opt == nullptr && dash_words_positional_) {
        positionals.push_back(a);
        continue;
      }
    }
    if (opt == nullptr) throw UsageError("unknown option " + a + " (see --help)");
    if (opt->is_flag) {
      if (has_value) throw UsageError("--" + opt->name + " takes no value");
      parsed.values[opt->name];
      continue;
    }
    if (!has_value) {
      if (i + 1 >= args.size()) throw UsageError("option " + a + " needs a value " + opt->metavar);
      value = args[++i];
    }
    parsed.values[opt->name].push_back(value);
  }
  std::size_t k = 0;
  for (std::size_t p = 0; p < pos_.size(); ++p) {
    const Pos& want = pos_[p];
    auto& slot = parsed.values[want.name];
    switch (want.arity) {
      case Arity::one:
        if (k >= positionals.size()) throw UsageError("missing argument " + want.name + " (see --help)");
        slot.push_back(positionals[k++]);
        break;
      case Arity::optional:
        if (k < positionals.size()) slot.push_back(positionals[k++]);
        break;
      case Arity::many:
      case Arity::at_least_one:
        while (k < positionals.size()) slot.push_back(positionals[k++]);
        if (want.arity == Arity::at_least_one && slot.empty()) {
          throw UsageError("missing argument " + want.name + " (see --help)");
        }
        break;
    }
    if (slot.empty()) parsed.values.erase(want.name);
  }
  if (k < positionals.size()) throw UsageError("unexpected argument '" + positionals[k] + "' (see --help)");
  return parsed;
}

shared::logsetup::Level log_level(const Parsed& p) {
  const std::string name = p.get("log-level", "info");
  auto level = shared::logsetup::parse_level(name);
  if (!level) throw UsageError("unknown log level '" + name + "'");
  return *level;
}

int guarded(const std::string& prog, const std::function<int()>& body) {
  try {
    return body();
  } catch (const HelpShown&) {
    return 0;
  } catch (const UsageError& e) {
    std::cerr << prog << ": error: " << shared::text::printable(shared::text::rstrip(e.what())) << std::endl;
    return 2;
  } catch (const shared::ValueError& e) {
    std::cerr << prog << ": error: " << shared::text::printable(shared::text::rstrip(e.what())) << std::endl;
    return 2;
  } catch (const std::exception& e) {
    std::cerr << prog << ": error: " << shared::text::printable(shared::text::rstrip(e.what())) << std::endl;
    return 1;
  }
}

std::vector<std::string> arguments(int argc, char** argv, int from) {
  std::vector<std::string> out;
  for (int i = from; i < argc; ++i) out.emplace_back(argv[i]);
  return out;
}

std::string read_file(const std::string& path) { return shared::fs::read_file(path); }

std::string read_stdin() { return shared::fs::read_stdin(); }

void write_output(const std::string& path, const std::string& bytes) {
  if (path.empty() || path == "-") {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    if (std::fflush(stdout) != 0) throw std::runtime_error("cannot write to standard output");
    return;
  }
  try {
    shared::fs::write_file_atomic(path, bytes);
  } catch (const shared::Error&) {
    throw std::runtime_error("cannot write '" + path + "'");
  }
}

}  // namespace apps
