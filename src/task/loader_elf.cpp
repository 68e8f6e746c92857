// The readers of what a loader exec gives from outside: an executed file's ELF headers and a
// loader's command line. Bounds-checked against the file's size and the text's length.
#include <elf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string_view>
#include <vector>

#include "task/loader_exec.h"

namespace {

bool pread_all(int fd, void *buf, size_t n, uint64_t off) {
    auto *p = static_cast<char *>(buf);
    while (n > 0) {
        ssize_t k = pread(fd, p, n, static_cast<off_t>(off));
        if (k <= 0) return false;
        p += k, n -= static_cast<size_t>(k), off += static_cast<uint64_t>(k);
    }
    return true;
}

// Whether [off, off + n) lies inside a file of size bytes.
bool inside(uint64_t off, uint64_t n, uint64_t size) {
    return off <= size && n <= size - off;
}

template <class Ehdr, class Phdr, class Dyn>
bool read_facts(int fd, uint64_t size, elf_facts *out) {
    Ehdr eh;
    if (!inside(0, sizeof eh, size) || !pread_all(fd, &eh, sizeof eh, 0)) return false;
    if (eh.e_phentsize != sizeof(Phdr) || eh.e_phnum == 0 || eh.e_phnum > 256 ||
        !inside(eh.e_phoff, uint64_t(eh.e_phnum) * sizeof(Phdr), size))
        return false;
    std::vector<Phdr> ph(eh.e_phnum);
    if (!pread_all(fd, ph.data(), ph.size() * sizeof(Phdr), eh.e_phoff)) return false;
    *out = elf_facts{};
    out->type = eh.e_type;
    const Phdr *dyn = nullptr;
    for (const Phdr &p : ph) {
        if (p.p_type == PT_DYNAMIC) dyn = &p;
        if (p.p_type != PT_INTERP) continue;
        if (p.p_filesz > 4096 || !inside(p.p_offset, p.p_filesz, size)) return false;
        std::string s(p.p_filesz, '\0');
        if (!pread_all(fd, s.data(), s.size(), p.p_offset)) return false;
        out->has_interp = true;
        out->interp = s.c_str();
    }
    if (!dyn) return true;
    if (dyn->p_filesz > 65536 || !inside(dyn->p_offset, dyn->p_filesz, size)) return false;
    std::vector<Dyn> d(dyn->p_filesz / sizeof(Dyn));
    if (!pread_all(fd, d.data(), d.size() * sizeof(Dyn), dyn->p_offset)) return false;
    uint64_t strtab = 0, soname = UINT64_MAX;
    for (const Dyn &e : d) {
        if (e.d_tag == DT_NULL) break;
        if (e.d_tag == DT_STRTAB) strtab = e.d_un.d_ptr;
        if (e.d_tag == DT_SONAME) soname = e.d_un.d_val;
    }
    if (soname == UINT64_MAX) return true;
    // The string table's place in the file, from the loaded segment that holds it.
    for (const Phdr &p : ph) {
        if (p.p_type != PT_LOAD || strtab < p.p_vaddr || strtab - p.p_vaddr >= p.p_filesz) continue;
        uint64_t off = p.p_offset + (strtab - p.p_vaddr) + soname;
        if (off < p.p_offset || off >= size) return false;
        char name[256] = {};
        size_t n = size - off < sizeof name - 1 ? size - off : sizeof name - 1;
        if (!pread_all(fd, name, n, off)) return false;
        out->soname = name;
        return true;
    }
    return false;
}

bool starts(const std::string &s, const char *prefix) {
    return s.rfind(prefix, 0) == 0;
}

}  // namespace

bool elf_read_facts(int fd, elf_facts *out) {
    struct stat st;
    unsigned char id[EI_NIDENT];
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < EI_NIDENT ||
        !pread_all(fd, id, sizeof id, 0) || memcmp(id, ELFMAG, SELFMAG) != 0 ||
        id[EI_DATA] != ELFDATA2LSB)
        return false;
    const auto size = static_cast<uint64_t>(st.st_size);
    if (id[EI_CLASS] == ELFCLASS64)
        return read_facts<Elf64_Ehdr, Elf64_Phdr, Elf64_Dyn>(fd, size, out);
    if (id[EI_CLASS] == ELFCLASS32)
        return read_facts<Elf32_Ehdr, Elf32_Phdr, Elf32_Dyn>(fd, size, out);
    return false;
}

bool elf_is_loader(const elf_facts &f, const char *file_name) {
    if (f.type != ET_DYN || f.has_interp) return false;
    if (starts(f.soname, "ld-linux") || starts(f.soname, "ld.so") || starts(f.soname, "ld64.so"))
        return true;
    const char *base = file_name ? strrchr(file_name, '/') : nullptr;
    base = base ? base + 1 : file_name;
    return starts(f.soname, "libc.so") && base && strncmp(base, "ld-musl-", 8) == 0;
}

std::string loader_program_arg(const char *cmd_line, size_t len) {
    // The loader's options that take the next argument as their value.
    static const char *const with_value[] = {
        "--library-path",         "--inhibit-rpath",    "--audit", "--preload", "--argv0",
        "--glibc-hwcaps-prepend", "--glibc-hwcaps-mask"};
    std::vector<std::string> args;
    for (size_t at = 0; at < len;) {
        size_t sp = std::string_view(cmd_line, len).find(' ', at);
        if (sp == std::string_view::npos) sp = len;
        if (sp > at) args.emplace_back(cmd_line + at, sp - at);
        at = sp + 1;
    }
    for (size_t i = 1; i < args.size(); i++) {
        if (args[i] == "--") return i + 1 < args.size() ? args[i + 1] : "";
        if (!starts(args[i], "--")) return args[i];
        bool takes_value = false;
        for (const char *o : with_value) takes_value = takes_value || args[i] == o;
        i += takes_value;
    }
    return "";
}
