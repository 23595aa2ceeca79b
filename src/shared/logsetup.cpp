#include "shared/logsetup.hpp"

#include <atomic>
#include <cstdlib>
#include <map>
#include <ostream>

#include "shared/text/fixed.hpp"
#include "shared/text/pyjson.hpp"

namespace shared::logsetup {

std::optional<Level> parse_level(std::string_view name) {
  std::string n(name);
  for (char& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (n == "debug") return Level::debug;
  if (n == "info") return Level::info;
  if (n == "warning" || n == "warn") return Level::warning;
  if (n == "error") return Level::error;
  if (n == "critical") return Level::critical;
  return std::nullopt;
}

std::string _JsonFormatter::format(const LogRecord& record) const {
  Record payload = Record::object();
  payload["message"] = std::string(record.message);
  if (record.structured != nullptr && record.structured->is_object()) {
    for (auto it = record.structured->begin(); it != record.structured->end(); ++it) {
      payload[it.key()] = it.value();  // "message" keeps its first position
    }
  }
  return text::dumps_compact_ascii(payload);
}

void Handler::set_formatter(std::shared_ptr<const Formatter> f) { formatter_ = std::move(f); }

std::string Handler::format(const LogRecord& record) const {
  if (formatter_) return formatter_->format(record);
  return std::string(record.message);
}

StreamHandler::StreamHandler(std::FILE* stream) : file_(stream) {}
StreamHandler::StreamHandler(std::ostream& stream) : os_(&stream) {}

void StreamHandler::handle(const LogRecord& record) noexcept {
  try {
    std::string line = format(record);
    line += '\n';
    std::lock_guard lock(mu_);
    if (file_ != nullptr) {
      std::fwrite(line.data(), 1, line.size(), file_);
      std::fflush(file_);
    } else if (os_ != nullptr) {
      os_->write(line.data(), static_cast<std::streamsize>(line.size()));
      os_->flush();
    }
  } catch (...) {
    // A log line that cannot be written must never take the pipeline down.
  }
}

Logger::Logger(std::string name, Logger* parent)
    : name_(std::move(name)), parent_(parent), level_(parent == nullptr ? static_cast<int>(Level::warning) : 0) {}

void Logger::set_level(Level level) {
  std::lock_guard lock(mu_);
  level_ = static_cast<int>(level);
}

Level Logger::effective_level() const {
  for (const Logger* l = this; l != nullptr; l = l->parent_) {
    std::lock_guard lock(l->mu_);
    if (l->level_ != 0) return static_cast<Level>(l->level_);
  }
  return Level::warning;
}

void Logger::add_handler(std::shared_ptr<Handler> h) {
  std::lock_guard lock(mu_);
  handlers_.push_back(std::move(h));
}

void Logger::remove_handler(const std::shared_ptr<Handler>& h) {
  std::lock_guard lock(mu_);
  std::erase(handlers_, h);
}

std::vector<std::shared_ptr<Handler>> Logger::handlers() const {
  std::lock_guard lock(mu_);
  return handlers_;
}

void Logger::log(Level level, std::string_view message, const Record* structured) {
  if (!is_enabled_for(level)) return;
  const LogRecord rec{level, name_, message, structured};
  for (const Logger* l = this; l != nullptr; l = l->parent_) {
    for (const auto& h : l->handlers()) h->handle(rec);
  }
}

Logger& root_logger() {
  static Logger root("root", nullptr);
  return root;
}

Logger& get_logger(std::string_view name) {
  if (name.empty() || name == "root") return root_logger();
  static std::mutex mu;
  // Loggers live for the process: callers keep references to them.
  static auto* registry = new std::map<std::string, std::unique_ptr<Logger>, std::less<>>();
  std::lock_guard lock(mu);
  auto it = registry->find(name);
  if (it == registry->end()) {
    it = registry->emplace(std::string(name), std::make_unique<Logger>(std::string(name), &root_logger())).first;
  }
  return *it->second;
}

void configure_root_logger(Level level) {
  Logger& root = root_logger();
  if (root.handlers().empty()) {
    auto handler = std::make_shared<StreamHandler>(stderr);
    handler->set_formatter(std::make_shared<_JsonFormatter>());
    root.add_handler(std::move(handler));
  }
  root.set_level(level);
}

void setup_logging(Level level) { configure_root_logger(level); }

PipelineLogger::PipelineLogger(std::string name, std::optional<std::string> document_id)
    : _logger(&get_logger(name)), document_id_(std::move(document_id)) {}

PipelineLogger& PipelineLogger::set_stage(std::optional<std::string> stage) {
  std::lock_guard lock(mu_);
  stage_ = std::move(stage);
  return *this;
}

PipelineLogger& PipelineLogger::set_document(std::optional<std::string> document_id,
                                             std::optional<std::string> document_name) {
  std::lock_guard lock(mu_);
  document_id_ = std::move(document_id);
  document_name_ = std::move(document_name);
  return *this;
}

std::optional<std::string> PipelineLogger::stage() const {
  std::lock_guard lock(mu_);
  return stage_;
}
std::optional<std::string> PipelineLogger::document_id() const {
  std::lock_guard lock(mu_);
  return document_id_;
}
std::optional<std::string> PipelineLogger::document_name() const {
  std::lock_guard lock(mu_);
  return document_name_;
}

Record PipelineLogger::_extra(Fields fields) const {
  Record ctx = Record::object();
  {
    std::lock_guard lock(mu_);
    if (stage_ && !stage_->empty()) ctx["stage"] = *stage_;
    if (document_id_ && !document_id_->empty()) ctx["document_id"] = *document_id_;
    if (document_name_ && !document_name_->empty()) ctx["document_name"] = *document_name_;
  }
  for (const auto& [name, value] : fields) ctx[std::string(name)] = value;
  Record extra = Record::object();
  extra["structured"] = std::move(ctx);
  return extra;
}

void PipelineLogger::emit(Level level, std::string_view msg, Fields fields) {
  if (!_logger->is_enabled_for(level)) return;
  const Record extra = _extra(fields);
  _logger->log(level, msg, &extra["structured"]);
}

double round1(double ms) { return std::strtod(text::fixed(ms, 1).c_str(), nullptr); }

PipelineLogger::Timer::Timer(PipelineLogger& log, std::string label)
    : log_(log), label_(std::move(label)), start_(std::chrono::steady_clock::now()) {
  log_.debug("[" + label_ + "] started");
}

PipelineLogger::Timer::~Timer() noexcept {
  try {
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start_;
    log_.info("[" + label_ + "] completed", {{"duration_ms", round1(elapsed.count())}});
  } catch (...) {
  }
}

}  // namespace shared::logsetup
