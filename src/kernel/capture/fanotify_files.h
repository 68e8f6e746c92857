// The live file source of userspace mode: fanotify reports this host's file operations, and
// the filter lists the library sends (request 0x7307) decide which become the module's file
// records, as the module would decide.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Starts the fanotify reader: 0, or -1 with the reason in *why (not root, no fanotify with
// names). The caller logs the reason once; processes keep running without it.
int live_file_start(std::string *why);
void live_file_stop();
bool live_file_running();
// One filter payload as sent to the module; kept whether or not the reader runs.
void live_file_filter(const unsigned char *payload, size_t len);
// Forget every list (the stand-in starts afresh).
void live_file_reset();

// Event-mask bits of a filter entry, by the module's event kind (create 0 .. attrib 5).
constexpr uint8_t LIVE_FILE_MASK_ALL = 0x3f;

// The decision on one path for an event kind, from the current lists: watched by a file or
// path entry whose mask has the kind, and not excluded.
bool live_file_watched(const std::string &path, int kind);

// Bytes the source's maps may hold (each entry counted with its strings and a node's cost):
// directory paths by handle, recent creations, and records waiting for the ring.
struct live_file_bounds {
    size_t dirs, created, pending;
};
// Bounds for the next start; null restores 1 MiB, 4 MiB and 16 MiB.
void live_file_set_bounds(const live_file_bounds *bounds);
// What the running source holds now, counted as the bounds count it.
live_file_bounds live_file_usage();
// Directories whose file events the kernel drops now (ignore marks since the last flush).
size_t live_file_ignored_dirs();
