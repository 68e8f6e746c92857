// Executed files' ELF headers to the loader's reader, and the same bytes as a loader's command
// line: nothing read outside the file, and a loader is always a shared object that asks for
// none.
#include <elf.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "task/loader_exec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int fd = memfd_create("elf", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size) return 0;
    elf_facts f;
    if (elf_read_facts(fd, &f)) {
        if (f.soname.size() > 255 || f.interp.size() > 4096) __builtin_trap();
        if (elf_is_loader(f, "/lib/ld-musl-x86_64.so.1") && (f.type != ET_DYN || f.has_interp))
            __builtin_trap();
    }
    std::string arg = loader_program_arg(reinterpret_cast<const char *>(data), size);
    if (arg.size() > size) __builtin_trap();
    return 0;
}
