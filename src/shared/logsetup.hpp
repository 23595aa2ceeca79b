// shared.logsetup: named loggers that propagate to the root logger, the JSON
// line formatter, the root set-up, and PipelineLogger, which adds the
// pipeline's stage and document context to every record it writes.
#pragma once

#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/record.hpp"

namespace shared::logsetup {

enum class Level : int { debug = 10, info = 20, warning = 30, error = 40, critical = 50 };

// "debug", "info", "warning", "error", "critical" (any case); nullopt otherwise.
std::optional<Level> parse_level(std::string_view name);

struct LogRecord {
  Level level;
  std::string_view logger_name;
  std::string_view message;
  const Record* structured = nullptr;  // the context map, when the caller gave one
};

class Formatter {
 public:
  virtual ~Formatter() = default;
  // The text of one record, without the line end.
  virtual std::string format(const LogRecord& record) const = 0;
};

// {"message": …, then the structured members in order}, with ", " and ": ",
// every non-ASCII character escaped.
class _JsonFormatter : public Formatter {
 public:
  std::string format(const LogRecord& record) const override;
};

class Handler {
 public:
  virtual ~Handler() = default;
  void set_formatter(std::shared_ptr<const Formatter> f);
  // Formats and writes one record; never throws.
  virtual void handle(const LogRecord& record) noexcept = 0;

 protected:
  std::shared_ptr<const Formatter> formatter_;
  std::string format(const LogRecord& record) const;
};

// Writes each record as one whole line; safe to call from any thread.
class StreamHandler : public Handler {
 public:
  explicit StreamHandler(std::FILE* stream);
  explicit StreamHandler(std::ostream& stream);
  void handle(const LogRecord& record) noexcept override;

 private:
  std::FILE* file_ = nullptr;
  std::ostream* os_ = nullptr;
  std::mutex mu_;
};

class Logger {
 public:
  explicit Logger(std::string name, Logger* parent);
  const std::string& name() const { return name_; }

  void set_level(Level level);
  Level effective_level() const;
  bool is_enabled_for(Level level) const { return static_cast<int>(level) >= static_cast<int>(effective_level()); }

  void add_handler(std::shared_ptr<Handler> h);
  void remove_handler(const std::shared_ptr<Handler>& h);
  std::vector<std::shared_ptr<Handler>> handlers() const;

  // Emits `message` to this logger's handlers and then the root's.
  void log(Level level, std::string_view message, const Record* structured = nullptr);
  void debug(std::string_view m) { log(Level::debug, m); }
  void info(std::string_view m) { log(Level::info, m); }
  void warning(std::string_view m) { log(Level::warning, m); }
  void error(std::string_view m) { log(Level::error, m); }
  void critical(std::string_view m) { log(Level::critical, m); }

 private:
  std::string name_;
  Logger* parent_;
  int level_;  // 0: not set, use the parent's
  mutable std::mutex mu_;
  std::vector<std::shared_ptr<Handler>> handlers_;
};

// The logger of that dotted name (the same object for the same name);
// "" and "root" name the root logger.
Logger& get_logger(std::string_view name);
Logger& root_logger();

// Gives the root logger a JSON handler on standard error if it has no
// handler at all, then sets its level. Calling it again only changes the level.
void configure_root_logger(Level level = Level::info);
void setup_logging(Level level = Level::info);

// A logger that carries the current stage and document into every record.
class PipelineLogger {
 public:
  using Fields = std::initializer_list<std::pair<std::string_view, Record>>;

  explicit PipelineLogger(std::string name, std::optional<std::string> document_id = std::nullopt);

  PipelineLogger& set_stage(std::optional<std::string> stage);
  // Overwrites both fields; an argument left out clears its field.
  PipelineLogger& set_document(std::optional<std::string> document_id = std::nullopt,
                               std::optional<std::string> document_name = std::nullopt);

  void debug(std::string_view msg, Fields fields = {}) { emit(Level::debug, msg, fields); }
  void info(std::string_view msg, Fields fields = {}) { emit(Level::info, msg, fields); }
  void warning(std::string_view msg, Fields fields = {}) { emit(Level::warning, msg, fields); }
  void error(std::string_view msg, Fields fields = {}) { emit(Level::error, msg, fields); }
  void critical(std::string_view msg, Fields fields = {}) { emit(Level::critical, msg, fields); }

  // {"structured": {stage?, document_id?, document_name?, fields…}}.
  Record _extra(Fields fields) const;

  std::optional<std::string> stage() const;
  std::optional<std::string> document_id() const;
  std::optional<std::string> document_name() const;
  Logger& logger() const { return *_logger; }

  // Scoped timer: "[label] started" at debug now, "[label] completed" with
  // duration_ms at info when destroyed, also during unwinding.
  class Timer {
   public:
    Timer(PipelineLogger& log, std::string label);
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    ~Timer() noexcept;

   private:
    PipelineLogger& log_;
    std::string label_;
    std::chrono::steady_clock::time_point start_;
  };
  [[nodiscard]] Timer timed(std::string label) { return Timer(*this, std::move(label)); }

 private:
  void emit(Level level, std::string_view msg, Fields fields);

  Logger* _logger;
  // The context fields are read and written from both pipeline paths; the
  // lock only keeps each access whole; a shared logger still logs whatever
  // context was set last.
  mutable std::mutex mu_;
  std::optional<std::string> document_id_;
  std::optional<std::string> document_name_;
  std::optional<std::string> stage_;
};

// Rounds a duration in milliseconds to one decimal, as the log lines show it.
double round1(double ms);

}  // namespace shared::logsetup
