// A program run through the dynamic loader ("ld-linux-x86-64.so.2 /tmp/x/implant"): the
// kernel executes the loader, which then maps the program itself. The exec record names the
// loader's file; the program is found among the files the loader has mapped, checked against
// what the command line names.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "task/process.h"

// What an ELF file says of itself, as far as telling a loader goes.
struct elf_facts {
    uint16_t type = 0;        // e_type: ET_EXEC, ET_DYN, ...
    bool has_interp = false;  // a PT_INTERP: it asks for a loader
    std::string interp;       // that loader's path
    std::string soname;       // DT_SONAME, empty when none
};
// Reads the ELF header, program headers and dynamic section of the file behind fd; false for
// anything that is not a well-formed little-endian ELF file within its size.
bool elf_read_facts(int fd, elf_facts *out);
// An ELF interpreter by its own type and name: a shared object that asks for no loader and
// calls itself ld-linux*, ld.so* or ld64.so* (or musl's libc.so as ld-musl-*).
bool elf_is_loader(const elf_facts &f, const char *file_name);

// The program a loader was asked to run: the first argument after the loader's options, or
// empty when the command line names none.
std::string loader_program_arg(const char *cmd_line, size_t len);

// Whether the executed file of raw is an ELF interpreter: the loader of common programs (by
// inode or path), or a file that is one by its own type and name (a copy, a link). Verdicts
// are kept per executed file.
bool loader_exec_is(const raw_process_info &raw, const exe_ident *exe);

enum loader_find : int {
    LOADER_FOUND,    // mapped by the process, checked against its command line
    LOADER_NAMED,    // the process is gone: the file its command line names
    LOADER_PENDING,  // the process runs but has not mapped its program yet
    LOADER_UNKNOWN,  // neither
};
struct loader_program {
    char path[1024] = {};
    int fd = -1;  // O_PATH on the program's inode; -1 with LOADER_UNKNOWN
    loader_program() = default;
    loader_program(const loader_program &) = delete;
    loader_program &operator=(const loader_program &) = delete;
    ~loader_program();
};
// The program the loader process of raw runs. A mapped file the command line names is taken;
// failing that, the first executable file mapping that is not the loader.
int loader_program_find(const raw_process_info &raw, const exe_ident *exe, loader_program *out);
