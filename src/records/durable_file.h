// SPDX-License-Identifier: MIT
// Durable writes of the program's record files, and the read of a small one. Each call opens, writes,
// flushes to disk and closes; nothing stays open between records. On failure
// one line "<file>: cannot <what>: <reason>" goes to stderr and the call
// returns false; no byte is written through a stream that failed to open.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Appends text at the end of path (created if missing) and syncs it to disk,
// so a record survives a crash the moment after the call returns.
bool append_durably(const char* path, std::string_view text);

// Replaces path by a file holding exactly text: the text goes to a temporary
// file created new in the same directory under an unguessable name (never an
// existing file or link), is synced, and is renamed over path. Whatever
// moment the process dies, path holds either its old or its new content.
bool replace_atomically(const char* path, std::string_view text);

// Reads the whole of path, at most `cap` bytes, into text. Returns false with
// the reason in *why ("cannot open: ...", "cannot read: ...", or "is larger
// than ...") when it cannot; nothing is printed.
bool read_small_file(const char* path, std::size_t cap, std::string& text, std::string* why);
