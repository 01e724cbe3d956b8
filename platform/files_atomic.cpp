#include "platform/files.h"

namespace platform {

bool write_file_atomically(const std::string& path, const std::string& bytes) {
    const std::string tmp = path + ".tmp";
    WriteFile* file = file_create_write(tmp);
    if (!file) return false;
    bool ok = file_write(file, bytes.data(), bytes.size()) && file_flush(file);
    ok = file_close_write(file) && ok;
    return ok && file_move_replace(tmp, path);
}

}  // namespace platform
