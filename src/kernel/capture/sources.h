// The live capture sources of userspace mode, as one table for the stand-in.
#pragma once
#include "kernel/standin/producer.h"

// Every source in order of preference, with the live answers to process queries; prefer names
// the process source asked for ("ebpf", "connector"), or null for the first that starts;
// options are capture_option bits.
capture_table capture_sources(const char *prefer, uint32_t options = 0);
