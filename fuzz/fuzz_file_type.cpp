// File type identification on arbitrary file contents: the head and tail signatures and the
// keyword automata over the first lines, through a file as the file module opens it and
// through a stream. Whatever the bytes, the answer is -1 or a known type, and the type
// information carries a terminated name and suffix.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "file/file_type.h"
#include "qxkiv/file_type.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int fd = [] {
        if (init_file_type_check() != 0) __builtin_trap();
        return memfd_create("upload.php", 0);
    }();
    static std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size) return 0;

    int type = check_file_type(path.c_str());
    if (type != -1 && !file_type_id2name(type)) __builtin_trap();
    check_file_type_webshell(path.c_str());

    file_type_info_st info;
    info.type = FILE_TYPE_UNKNOWN;
    get_file_type(&info, path.c_str(), (int)path.size() + 1);
    if (info.type != type || !memchr(info.type_name, 0, sizeof info.type_name) ||
        !memchr(info.suffix, 0, sizeof info.suffix))
        __builtin_trap();

    if (size == 0) return 0;
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (!f) return 0;
    int head = check_file_header(f);
    if (head != -1 && !file_type_id2name(head)) __builtin_trap();
    fclose(f);
    return 0;
}
