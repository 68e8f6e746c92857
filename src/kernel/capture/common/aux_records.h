// Library loads, signals and named pipes seen live (by the eBPF programs) turned into the
// module's records, written into the high ring.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct live_aux_ev;
class standin_producer;

// Whole records, header included (layouts in kernel/aux_layout.h).
void live_aux_path_record(uint16_t type, uint32_t pid, uint64_t create_time, const char *path,
                          size_t path_len, std::vector<unsigned char> &out);
void live_aux_kill_record(uint32_t pid, uint64_t create_time, uint32_t killed_pid,
                          uint64_t killed_create_time, int32_t sig,
                          std::vector<unsigned char> &out);
// An absolute path for path as pid gave it relative to dfd (AT_FDCWD: its working directory);
// false when the process or its descriptor is gone.
bool live_aux_resolve(uint32_t pid, int dfd, const std::string &path, std::string &out);

// Writes the record of one event; false when it was not written (gone process, full ring).
// dir: for a pipe created by a relative path, the directory the kernel saw it relative to
// (LIVE_STR_MAX bytes at most), or null. The record goes through out, the thread's way into
// the high ring.
bool live_aux_put(const live_aux_ev &e, const char *dir, std::vector<unsigned char> &buf,
                  standin_producer &out);
