#include <windows.h>

#include "platform/files.h"

namespace platform {

struct WriteFile {
    HANDLE handle;
    std::string path;
};

struct LockFile {
    HANDLE handle;
};

namespace {

// Paths arrive in the system's ANSI code page, as the game keeps them, and are widened for
// the wide calls.
std::wstring wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string narrow(const wchar_t* text) {
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

bool ends_with_bin(const std::string& name) {
    if (name.size() < 4) return false;
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return tail == ".bin";
}

}  // namespace

WriteFile* file_create_write(const std::string& path) {
    if (!file_fault_point(FileOp::Create, FaultPhase::Before, path)) return nullptr;
    std::wstring w = wide(path);
    if (w.empty()) return nullptr;
    HANDLE h = CreateFileW(w.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    auto* file = new WriteFile{h, path};
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
        DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(file->handle, p, chunk, &written, nullptr) || written == 0) return false;
        p += written;
        size -= written;
    }
    return file_fault_point(FileOp::Write, FaultPhase::After, file->path);
}

bool file_flush(WriteFile* file) {
    if (!file) return false;
    if (!file_fault_point(FileOp::Flush, FaultPhase::Before, file->path)) return false;
    if (!FlushFileBuffers(file->handle)) return false;
    return file_fault_point(FileOp::Flush, FaultPhase::After, file->path);
}

bool file_close_write(WriteFile* file) {
    if (!file) return true;
    bool ok = CloseHandle(file->handle) != 0;
    delete file;
    return ok;
}

bool file_move_replace(const std::string& from, const std::string& to) {
    if (!file_fault_point(FileOp::Move, FaultPhase::Before, to)) return false;
    std::wstring a = wide(from), b = wide(to);
    if (a.empty() || b.empty()) return false;
    if (!MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return false;
    return file_fault_point(FileOp::Move, FaultPhase::After, to);
}

bool file_move_new(const std::string& from, const std::string& to) {
    if (!file_fault_point(FileOp::Move, FaultPhase::Before, to)) return false;
    std::wstring a = wide(from), b = wide(to);
    if (a.empty() || b.empty()) return false;
    if (!MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_WRITE_THROUGH)) return false;
    return file_fault_point(FileOp::Move, FaultPhase::After, to);
}

bool file_delete(const std::string& path) {
    if (!file_fault_point(FileOp::Delete, FaultPhase::Before, path)) return false;
    std::wstring w = wide(path);
    if (w.empty() || !DeleteFileW(w.c_str())) return false;
    return file_fault_point(FileOp::Delete, FaultPhase::After, path);
}

LockFile* lock_file_open(const std::string& path) {
    if (!file_fault_point(FileOp::Lock, FaultPhase::Before, path)) return nullptr;
    std::wstring w = wide(path);
    if (w.empty()) return nullptr;
    HANDLE h = CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    auto* lock = new LockFile{h};
    if (!file_fault_point(FileOp::Lock, FaultPhase::After, path)) {
        lock_file_release(lock);
        return nullptr;
    }
    return lock;
}

void lock_file_release(LockFile* lock) {
    if (!lock) return;
    CloseHandle(lock->handle);
    delete lock;
}

PathKind path_kind(const std::string& path) {
    std::wstring w = wide(path);
    if (w.empty()) return PathKind::Error;
    DWORD attributes = GetFileAttributesW(w.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathKind::Missing
                                                                               : PathKind::Error;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Folder : PathKind::File;
}

bool create_folder(const std::string& path) {
    std::wstring w = wide(path);
    if (w.empty()) return false;
    if (CreateDirectoryW(w.c_str(), nullptr)) return true;
    return GetLastError() == ERROR_ALREADY_EXISTS && path_kind(path) == PathKind::Folder;
}

ListResult list_bin_files(const std::string& folder, std::vector<FolderEntry>& out) {
    out.clear();
    std::wstring pattern = wide(folder + "\\*.bin");
    if (pattern.empty()) return ListResult::Error;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? ListResult::Empty : ListResult::Error;
    bool failed = false;
    do {
        std::string name = narrow(data.cFileName);
        // "*.bin" also matches longer extensions through their short names; keep the real ones.
        if (!ends_with_bin(name)) continue;
        out.push_back(FolderEntry{name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileW(find, &data));
    if (GetLastError() != ERROR_NO_MORE_FILES) failed = true;
    FindClose(find);
    if (failed) return ListResult::Error;
    return out.empty() ? ListResult::Empty : ListResult::Ok;
}

bool file_size(const std::string& path, uint64_t& size) {
    std::wstring w = wide(path);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (w.empty() || !GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

std::string full_path(const std::string& path) {
    char buffer[MAX_PATH];
    DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, buffer, nullptr);
    if (n == 0 || n >= MAX_PATH) return "";
    return std::string(buffer, n);
}

}  // namespace platform
