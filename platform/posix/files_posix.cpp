#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // renameat2
#endif
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <strings.h>

#include "platform/files.h"
#include "platform/posix/posix_control.h"

namespace platform {

struct WriteFile {
    int fd;
    std::string path;
};

struct LockFile {
    int fd;
};

namespace {

// The folder part of a native path ("." when there is none).
std::string folder_of(const std::string& native) {
    size_t slash = native.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return native.substr(0, slash);
}

// A rename is on disk only once the folder that holds the names has been synced.
bool sync_folder(const std::string& native_folder) {
    int fd = open(native_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

bool sync_folders_of(const std::string& from, const std::string& to) {
    std::string a = folder_of(from), b = folder_of(to);
    if (!sync_folder(b)) return false;
    return a == b || sync_folder(a);
}

}  // namespace

WriteFile* file_create_write(const std::string& path) {
    if (!file_fault_point(FileOp::Create, FaultPhase::Before, path)) return nullptr;
    int fd = open(posix::native_path(path).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    // Sharing nothing: a second writer (or lock holder) of the same file is refused, and
    // only the one that holds it truncates.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ftruncate(fd, 0) != 0) {
        close(fd);
        return nullptr;
    }
    auto* file = new WriteFile{fd, path};
    if (!file_fault_point(FileOp::Create, FaultPhase::After, path)) {
        file_close_write(file);
        return nullptr;
    }
    return file;
}

bool file_write(WriteFile* file, const void* data, size_t size) {
    if (!file) return false;
    if (!file_fault_point(FileOp::Write, FaultPhase::Before, file->path)) return false;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(file->fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return file_fault_point(FileOp::Write, FaultPhase::After, file->path);
}

bool file_flush(WriteFile* file) {
    if (!file) return false;
    if (!file_fault_point(FileOp::Flush, FaultPhase::Before, file->path)) return false;
    if (fsync(file->fd) != 0) return false;
    return file_fault_point(FileOp::Flush, FaultPhase::After, file->path);
}

bool file_close_write(WriteFile* file) {
    if (!file) return true;
    bool ok = close(file->fd) == 0;
    delete file;
    return ok;
}

bool file_move_replace(const std::string& from, const std::string& to) {
    if (!file_fault_point(FileOp::Move, FaultPhase::Before, to)) return false;
    std::string a = posix::native_path(from), b = posix::native_path(to);
    if (rename(a.c_str(), b.c_str()) != 0) return false;
    if (!sync_folders_of(a, b)) return false;
    return file_fault_point(FileOp::Move, FaultPhase::After, to);
}

bool file_move_new(const std::string& from, const std::string& to) {
    if (!file_fault_point(FileOp::Move, FaultPhase::Before, to)) return false;
    std::string a = posix::native_path(from), b = posix::native_path(to);
    if (renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) return false;
        // A file system without no-replace renames: a hard link fails on an existing name.
        if (link(a.c_str(), b.c_str()) != 0) return false;
        if (unlink(a.c_str()) != 0) return false;
    }
    if (!sync_folders_of(a, b)) return false;
    return file_fault_point(FileOp::Move, FaultPhase::After, to);
}

bool file_delete(const std::string& path) {
    if (!file_fault_point(FileOp::Delete, FaultPhase::Before, path)) return false;
    std::string n = posix::native_path(path);
    if (unlink(n.c_str()) != 0) return false;
    sync_folder(folder_of(n));
    return file_fault_point(FileOp::Delete, FaultPhase::After, path);
}

LockFile* lock_file_open(const std::string& path) {
    if (!file_fault_point(FileOp::Lock, FaultPhase::Before, path)) return nullptr;
    int fd = open(posix::native_path(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    // flock belongs to the open file, so a second open in this process is refused as well,
    // the same as a Windows handle that shares nothing.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return nullptr;
    }
    auto* lock = new LockFile{fd};
    if (!file_fault_point(FileOp::Lock, FaultPhase::After, path)) {
        lock_file_release(lock);
        return nullptr;
    }
    return lock;
}

void lock_file_release(LockFile* lock) {
    if (!lock) return;
    close(lock->fd);
    delete lock;
}

PathKind path_kind(const std::string& path) {
    struct stat st{};
    if (stat(posix::native_path(path).c_str(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? PathKind::Missing : PathKind::Error;
    return S_ISDIR(st.st_mode) ? PathKind::Folder : PathKind::File;
}

bool create_folder(const std::string& path) {
    std::string n = posix::native_path(path);
    if (mkdir(n.c_str(), 0755) == 0) {
        sync_folder(folder_of(n));
        return true;
    }
    return errno == EEXIST && path_kind(path) == PathKind::Folder;
}

ListResult list_bin_files(const std::string& folder, std::vector<FolderEntry>& out) {
    out.clear();
    std::string n = posix::native_path(folder);
    DIR* dir = opendir(n.c_str());
    if (!dir) return ListResult::Error;
    errno = 0;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        // The Windows pattern "*.bin" ignores case; so does this.
        if (name.size() < 4 || strcasecmp(name.c_str() + name.size() - 4, ".bin") != 0) continue;
        struct stat st{};
        bool is_folder = lstat((n + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        out.push_back(FolderEntry{name, is_folder});
    }
    bool failed = errno != 0;
    closedir(dir);
    if (failed) return ListResult::Error;
    return out.empty() ? ListResult::Empty : ListResult::Ok;
}

bool file_size(const std::string& path, uint64_t& size) {
    struct stat st{};
    if (stat(posix::native_path(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

std::string full_path(const std::string& path) {
    std::string n = posix::native_path(path);
    if (n.empty()) return "";
    if (n[0] != '/') {
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd)) return "";
        n = std::string(cwd) + "/" + n;
    }
    // Collapse "." and ".." and repeated separators, by the text alone, as the Windows rule does.
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= n.size()) {
        size_t j = n.find('/', i);
        if (j == std::string::npos) j = n.size();
        std::string part = n.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

}  // namespace platform
