// Records of the small auxiliary sensors (library loads, signals, named pipes): built like the
// uploaded records, inside the upload envelope with the acting process and its tree, but only
// written to the sensor log.
#pragma once
#include <cstdint>

#include "qxkiv/process_query.h"

struct cJSON;

// The nine process keys, each name prefixed (e.g. "killed_"); false when cJSON fails.
bool aux_add_process_block(cJSON *message, const process_st_public *p, const char *prefix);

struct aux_event_desc {
    const char *event_id;
    const char *event_name;
    const char *log_label;  // "<label> upload: <text>"
    uint32_t suc_stat;      // counters of written and failed records
    uint32_t fail_stat;
};

// The sensor's own keys, put between "event_name" and the acting process's block.
typedef bool (*aux_fill_fn)(cJSON *message, const void *arg);

// Queries the acting process {pid, create_time} with its ancestry, builds the record and logs
// it at level 3. 0, or -1 when any step fails (logged; the record alone is lost).
int aux_upload_event(uint32_t pid, uint64_t create_time, const aux_event_desc &desc,
                     aux_fill_fn fill, const void *arg);
