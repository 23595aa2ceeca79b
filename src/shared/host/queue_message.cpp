#include "shared/host/queue_message.hpp"

#include <cstdint>
#include <set>

#include "shared/config.hpp"
#include "shared/connectors/queue_client.hpp"
#include "shared/errors.hpp"
#include "shared/text/pyjson.hpp"
#include "shared/text/utf8.hpp"

namespace shared::host::worker {

using connectors::QUEUE_MESSAGE_MAX_TEXT;

namespace {

// `s` cut to at most `max` bytes, at the start of a UTF-8 sequence.
std::string cut_utf8(std::string_view s, std::size_t max) {
  if (s.size() <= max) return std::string(s);
  std::size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return std::string(s.substr(0, n));
}

// Whether `s` holds a control character: C0, DEL or C1 (U+0080 to U+009F).
bool has_control(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) <= 0x9F) return true;
  }
  return false;
}

void check_text(const std::string& what, const std::string& s, std::size_t max) {
  if (s.size() > max) {
    throw ValueError(what + " is " + std::to_string(s.size()) + " bytes, more than " + std::to_string(max));
  }
  if (!text::is_valid(s)) throw ValueError(what + " is not valid UTF-8");
}

// A blob name that stays inside the folder it is put in, whatever the
// service or a proxy makes of dot segments and backslashes.
void check_blob_name(const std::string& name) {
  const std::string what = "doc.blob_filename";
  check_text(what, name, MAX_BLOB_NAME_BYTES);
  if (has_control(name)) throw ValueError(what + " holds a control character");
  if (name.find('\\') != std::string::npos) throw ValueError(what + " holds a backslash");
  if (name.front() == '/') throw ValueError(what + " starts with \"/\"");
  std::size_t from = 0;
  for (;;) {
    const std::size_t slash = name.find('/', from);
    const std::string_view seg = std::string_view(name).substr(from, slash == std::string::npos ? std::string::npos
                                                                                                  : slash - from);
    if (seg.empty()) throw ValueError(what + " has an empty path segment");
    if (seg == "." || seg == "..") throw ValueError(what + " has a \"" + std::string(seg) + "\" path segment");
    if (slash == std::string::npos) break;
    from = slash + 1;
  }
}

long whole_number(const Record& v, const std::string& what, long lo, long hi) {
  const std::string range = "a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
  if (!v.is_number_integer()) throw ValueError(what + " must be " + range);
  if (v.is_number_unsigned()) {
    const auto n = v.get<std::uint64_t>();
    if (n > static_cast<std::uint64_t>(hi) || static_cast<long long>(n) < lo) throw ValueError(what + " must be " + range);
    return static_cast<long>(n);
  }
  const auto n = v.get<std::int64_t>();
  if (n < lo || n > hi) throw ValueError(what + " must be " + range);
  return static_cast<long>(n);
}

bool boolean(const Record& r, const char* key) {
  const Record* v = record::find(r, key);
  if (!v) return false;
  if (!v->is_boolean()) throw ValueError(std::string(key) + " must be true or false");
  return v->get<bool>();
}

Record to_record(const QueueTask& t) {
  // "local_file" stays in the text, empty, for workers that still expect it.
  Record r{{"action", std::string(task::word(t.task.action))}, {"doc", t.task.doc}, {"batch_size", t.task.batch_size}, {"local_file", ""}};
  if (t.task.uploaded) r["uploaded"] = true;
  if (t.force) r["force"] = true;
  if (t.row_mark) r["row_mark"] = *t.row_mark;
  if (t.lock_waits > 0) r["lock_waits"] = t.lock_waits;
  if (!t.last_error.empty()) r["last_error"] = t.last_error;
  return r;
}

}  // namespace

std::string shown(std::string_view s) {
  const std::string cut = cut_utf8(s, 64);
  return "'" + text::one_line(cut) + (cut.size() < s.size() ? "…" : "") + "'";
}

std::optional<std::string> fitting_text(QueueTask t) {
  for (const std::size_t keep : {std::string::npos, std::size_t{1024}, std::size_t{0}}) {
    if (keep != std::string::npos) t.last_error = cut_utf8(t.last_error, keep);
    std::string text = text::dumps_compact(to_record(t));
    if (text.size() <= QUEUE_MESSAGE_MAX_TEXT) return text;
  }
  return std::nullopt;
}

QueueTask parse_message(std::string_view text) {
  if (text.size() > QUEUE_MESSAGE_MAX_TEXT) {
    throw ValueError("message of " + std::to_string(text.size()) + " bytes; a queue message holds at most " +
                     std::to_string(QUEUE_MESSAGE_MAX_TEXT));
  }
  Record r;
  try {
    r = Record::parse(text);
  } catch (const std::exception& e) {
    throw ValueError(std::string("not JSON: ") + text::one_line(e.what()));
  }
  if (!r.is_object()) throw ValueError("not a JSON object");
  static const std::set<std::string, std::less<>> kMembers = {
      "action", "doc", "batch_size", "local_file", "uploaded", "force", "row_mark", "lock_waits", "last_error",
      // A copy taken back from the poison queue.
      "dequeue_count"};
  for (const auto& [key, value] : r.items()) {
    if (!kMembers.count(key)) throw ValueError("unknown member " + shown(key));
  }
  QueueTask t;
  const Record* action = record::find(r, "action");
  if (!action || !action->is_string() || (*action != "process" && *action != "delete")) {
    throw ValueError("action must be \"process\" or \"delete\"");
  }
  t.task.action = *task::action_named(action->get<std::string>());

  const Record* doc = record::find(r, "doc");
  if (!doc || !doc->is_object()) throw ValueError("doc must be an object");
  if (doc->size() > MAX_DOC_MEMBERS) {
    throw ValueError("doc has " + std::to_string(doc->size()) + " members, more than " + std::to_string(MAX_DOC_MEMBERS));
  }
  for (const auto& [key, value] : doc->items()) {
    check_text("a doc member's name", key, MAX_DOC_KEY_BYTES);
    if (has_control(key)) throw ValueError("a doc member's name holds a control character");
    if (value.is_string()) {
      check_text("doc." + key, value.get<std::string>(), MAX_DOC_TEXT_BYTES);
    } else if (!value.is_number() && !value.is_boolean() && !value.is_null()) {
      throw ValueError("doc." + key + " must be a text, a number, a boolean or null");
    }
  }
  const Record* name = record::find(*doc, "blob_filename");
  if (name && !name->is_null() && !name->is_string()) throw ValueError("doc.blob_filename must be a text");
  const std::string blob_filename = name && name->is_string() ? name->get<std::string>() : "";
  if (!blob_filename.empty()) {
    check_blob_name(blob_filename);
  } else if (t.task.action == task::Action::Process) {
    throw ValueError("doc.blob_filename is missing");
  }
  t.task.doc = *doc;

  const Record* batch = record::find(r, "batch_size");
  if (!batch) throw ValueError("batch_size is missing");
  t.task.batch_size = whole_number(*batch, "batch_size", 1, config::get().MAX_BATCH_SIZE);

  if (const Record* local = record::find(r, "local_file")) {
    if (!local->is_string() || !local->get<std::string>().empty()) {
      throw ValueError("local_file: a queue message may not name a local file");
    }
  }
  t.task.uploaded = boolean(r, "uploaded");
  t.force = boolean(r, "force");
  if (const Record* mark = record::find(r, "row_mark")) {
    // Seconds since 1970 as the database writes them, or "".
    if (!mark->is_string() || mark->get<std::string>().size() > 40 ||
        mark->get<std::string>().find_first_not_of("0123456789.-") != std::string::npos) {
      throw ValueError("row_mark must be a number of seconds as text");
    }
    t.row_mark = mark->get<std::string>();
  }
  if (const Record* waits = record::find(r, "lock_waits")) t.lock_waits = whole_number(*waits, "lock_waits", 0, 1'000'000'000);
  if (const Record* count = record::find(r, "dequeue_count")) whole_number(*count, "dequeue_count", 0, 1'000'000'000);
  if (const Record* last = record::find(r, "last_error")) {
    if (!last->is_string()) throw ValueError("last_error must be a text");
    check_text("last_error", last->get<std::string>(), MAX_DOC_TEXT_BYTES);
    t.last_error = last->get<std::string>();
  }
  return t;
}

std::string message_text(const QueueTask& t) {
  if (!t.task.local_file.empty()) throw ValueError("a queue message may not name a local file");
  return text::dumps_compact(to_record(t));
}

std::string poison_text(std::string_view message, const QueueTask* task, const std::string& why, long dequeue_count) {
  Record copy = task ? to_record(*task) : Record{{"text", std::string(message)}};
  copy["last_error"] = why;
  copy["dequeue_count"] = dequeue_count;
  std::string whole = text::dumps_compact(copy);
  if (whole.size() <= QUEUE_MESSAGE_MAX_TEXT) return whole;

  // Too big for a message: its beginning, marked as cut.
  const std::string reason = cut_utf8(why, 4096);
  auto cut_at = [&](std::size_t n) {
    while (n > 0 && n < message.size() && (static_cast<unsigned char>(message[n]) & 0xC0) == 0x80) --n;
    return n;
  };
  auto text_of = [&](std::size_t n) {
    return text::dumps_compact(Record{{"truncated", true},
                                      {"last_error", reason},
                                      {"dequeue_count", dequeue_count},
                                      {"bytes", message.size()},
                                      {"text", std::string(message.substr(0, n))}});
  };
  std::size_t lo = 0, hi = message.size();
  if (text_of(0).size() > QUEUE_MESSAGE_MAX_TEXT) return "";
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo + 1) / 2;
    if (text_of(cut_at(mid)).size() <= QUEUE_MESSAGE_MAX_TEXT) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  std::size_t n = cut_at(lo);
  std::string out = text_of(n);
  // Bytes that are not UTF-8 are written as replacement characters, so the
  // size is not quite monotonic in the cut.
  while (out.size() > QUEUE_MESSAGE_MAX_TEXT && n > 0) out = text_of(n = cut_at(n - 1));
  return out.size() <= QUEUE_MESSAGE_MAX_TEXT ? out : "";
}

}  // namespace shared::host::worker
