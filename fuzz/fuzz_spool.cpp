// The agent's spool on arbitrary segment bytes and an arbitrary cursor: opened, read to its
// end with every record committed, then one record appended and read back. A record read is
// one that was written whole with its checksum; what follows a cut tail is found again.
//
// Input: a u16-led cursor text, then the bytes of segment 1; a second segment follows when
// the input holds "@SEG@" (its bytes after the token).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_input.h"
#include "fuzz_tmpdir.h"
#include "spool.h"

namespace {

std::string s_root;

void put(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // On tmpfs where there is one: the spool syncs its files, which costs on a disk.
    if (s_root.empty())
        s_root = fuzz_private_dir(access("/dev/shm", W_OK) == 0 ? "../dev/shm/kiv_fuzz_spool"
                                                                : "kiv_fuzz_spool");
    if (s_root.empty()) return 0;
    const std::string dir = s_root + "/s";
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    mkdir(dir.c_str(), 0700);
    fuzz_input in{data, size};
    const std::string cursor = in.part();
    std::string seg1 = in.rest(), seg2;
    const size_t at = seg1.find("@SEG@");
    if (at != std::string::npos) seg2 = seg1.substr(at + 5), seg1.resize(at);
    put(dir + "/cursor", cursor);
    put(dir + "/00000000000000000001.spool", seg1);
    if (at != std::string::npos) put(dir + "/00000000000000000002.spool", seg2);

    kivhost::Spool s({dir, 1 << 20, 1000});
    std::string why;
    if (s.open(&why) != 0) return 0;
    std::vector<kivhost::SpoolItem> items;
    uint64_t read = 0;
    while (s.read(64, 1 << 20, &items) > 0) {
        for (const auto &it : items) {
            if (it.text.size() > kivhost::kSpoolMaxRecord) abort();
            s.commit(it.next, 1);
        }
        read += items.size();
        items.clear();
    }
    if (s.pending() != 0 && read == 0 && s.unread()) abort();  // pending but unreadable
    kivhost::SpoolItem last;
    last.seq = 424242, last.text = "{\"last\":1}";
    if (s.append({last}) != 0) return 0;
    if (s.read(64, 1 << 20, &items) != 1 || items[0].seq != 424242 || items[0].text != last.text)
        abort();
    return 0;
}
