// shared.fs.files: reading whole inputs with a size cap. Every program that
// reads a file or standard input whole goes through here, so that a folder,
// an unreadable file or an endless stream (/dev/zero, a runaway pipe) gets a
// clear error instead of an empty result or unbounded memory.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace shared::fs {

// The cap on one input, from the setting MAX_INPUT_BYTES.
std::size_t input_limit();

// The bytes of `path`. Throws shared::Error "cannot read '{path}'" for a
// missing or unreadable file, "cannot read '{path}': is a folder", and "'{path}' is larger than the input
// limit of {limit} bytes (KESTO_MAX_INPUT_BYTES)" past `limit`.
std::string read_file(const std::string& path, std::size_t limit = input_limit());

// The bytes of `path` with no cap, for the batch converter, whose messages
// name the system's reason: a file that cannot be opened gives "cannot read
// '{path}': {reason}" (strerror), a folder "cannot read '{path}': is a folder".
std::string read_file_with_reason(const std::string& path);

// The bytes of `stream` (named `name` in errors) up to `limit`, with the
// same errors.
std::string read_stream(std::FILE* stream, const std::string& name, std::size_t limit = input_limit());

// The bytes of standard input.
std::string read_stdin(std::size_t limit = input_limit());

// Replaces the file `path` by `bytes` all at once: written beside it and
// renamed over it, so readers never see half a file and a failure keeps the
// old one (and leaves no temporary file). Through a symbolic link the link
// stays and its target changes; an existing file keeps its permissions.
// Throws shared::Error "cannot write '{path}'" (with the reason when the
// rename fails).
void write_file_atomic(const std::string& path, std::string_view bytes);

// `text` without a leading UTF-8 byte-order mark.
std::string_view without_bom(std::string_view text);

}  // namespace shared::fs
