// shared.host.queue_message: the work queue's messages. A message is
// untrusted (whoever may write to the queue may write anything into it): it
// is checked here, once, into a QueueTask, and nothing past this point reads
// the raw text. Also the copy a refused message leaves in the poison queue.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "shared/host/task.hpp"

namespace shared::host::worker {

// A message of the work queue as a worker runs it. It never names a local
// file: a worker reads nothing of its machine on a message's word.
struct QueueTask {
  task::Task task;             // local_file always empty
  bool force = false;
  // Of a forced message: the row's mark when it was queued (see
  // task::Options::queued_row_mark); nullopt in messages of older
  // versions, which are then always run forced.
  std::optional<std::string> row_mark;
  long lock_waits = 0;         // times handed back because another process ran the document
  std::string last_error;      // why it was handed back last
};

// Limits of a message's parts, in bytes.
inline constexpr std::size_t MAX_BLOB_NAME_BYTES = 1024;
inline constexpr std::size_t MAX_DOC_TEXT_BYTES = 16 * 1024;
inline constexpr std::size_t MAX_DOC_KEY_BYTES = 128;
inline constexpr std::size_t MAX_DOC_MEMBERS = 100;

// Checks a message text and makes it a task; the only way from a message to
// a run. A message is an object of these members and no others: "action"
// ("process" or "delete"); "doc" (an object of at most MAX_DOC_MEMBERS
// scalar members, texts valid UTF-8 of at most MAX_DOC_TEXT_BYTES; for a
// process task a "blob_filename" of at most MAX_BLOB_NAME_BYTES without
// control characters or backslashes, not starting with "/", without empty,
// "." or ".." segments; a deletion's may be empty); "batch_size" (a whole
// number from 1 to MAX_BATCH_SIZE); "local_file" (absent or ""); booleans
// "uploaded" and "force"; texts "row_mark" and "last_error"; "lock_waits"
// (a whole number). The whole text is at most QUEUE_MESSAGE_MAX_TEXT bytes.
// Throws ValueError saying what is wrong.
QueueTask parse_message(std::string_view text);

// The message text of a queue task. Throws ValueError for a task naming a
// local file.
std::string message_text(const QueueTask& t);

// The poison queue's copy of a message taken `dequeue_count` times and
// refused for `why`: the checked task (or, for a message that is not one,
// its text) with "last_error" and "dequeue_count". One that would not fit in
// a message is cut: {"truncated": true, "last_error", "dequeue_count",
// "bytes" (of the whole text), "text" (its beginning)}. "" when not even
// that fits.
std::string poison_text(std::string_view message, const QueueTask* task, const std::string& why,
                        long dequeue_count);

// The message text of `t` as it fits in a message: its last error cut
// when need be; nullopt when even that does not fit.
std::optional<std::string> fitting_text(QueueTask t);

// A text of a message (or a setting) quoted in a refusal: one line, at most
// 64 bytes and a mark where it was cut, in single quotes.
std::string shown(std::string_view s);

}  // namespace shared::host::worker
