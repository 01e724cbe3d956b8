// Door 1, the crash-safe file layer: writes that survive a crash at any instant (write a
// ".tmp", flush it, move it over the target with write-through), exclusive lock files held
// for the run, folders and listings. Paths are written the Windows way, as in platform.h.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {

// A file open for writing, shared with nobody while open.
struct WriteFile;

// Creates or truncates `path` for writing, sharing nothing. Null on failure.
WriteFile* file_create_write(const std::string& path);
// Writes all `size` bytes; false when any could not be written.
bool file_write(WriteFile* file, const void* data, size_t size);
// Pushes the file's buffers to the disk; false when the system could not.
bool file_flush(WriteFile* file);
// Closes the file; false when closing reported an error. Null is ignored.
bool file_close_write(WriteFile* file);

// Moves `from` over `to`, replacing it, and returns only once the move is on disk.
bool file_move_replace(const std::string& from, const std::string& to);
// Writes `bytes` to `path` + ".tmp", flushes it to the disk and moves it over `path`: a crash
// leaves the old file or the new one, never a part of either.
bool write_file_atomically(const std::string& path, const std::string& bytes);
// Moves `from` to `to` with write-through; fails when `to` exists.
bool file_move_new(const std::string& from, const std::string& to);
bool file_delete(const std::string& path);

// An exclusive lock file: opened for reading and writing, created when missing, refused while
// any other holder (another process, or another open in this one) has it. The file stays on
// disk after it is released.
struct LockFile;
LockFile* lock_file_open(const std::string& path);  // null when refused or inaccessible
void lock_file_release(LockFile* lock);

enum class PathKind { Missing, File, Folder, Error };
// Missing only when the path (or a folder on it) does not exist; any other failure is Error.
PathKind path_kind(const std::string& path);

// Creates a folder; an existing folder of that name is fine, an existing file is not.
bool create_folder(const std::string& path);

struct FolderEntry {
    std::string name;  // the bare name, without the folder
    bool is_folder;
};
enum class ListResult { Ok, Empty, Error };
// The entries of `folder` whose names end in ".bin" (in no particular order). Empty when none
// matches; Error when the folder cannot be read.
ListResult list_bin_files(const std::string& folder, std::vector<FolderEntry>& out);

// Size of a file open for reading, or of the file at `path`. False when it cannot be had.
bool file_size(File* file, uint64_t& size);
bool file_size(const std::string& path, uint64_t& size);

// The absolute form of `path` (the system's full-path rule, no check that it exists), in the
// system's own separators. Empty on failure.
std::string full_path(const std::string& path);

// Fault points, for crash tests. Every create, write, flush, move and delete (and the open of
// a lock file, which may create it) calls the hook before and after the operation; a false
// answer at a "before" point fails the operation without doing it, at an "after" point it
// fails the operation after it was done. A hook may also end the process. Without a hook
// (the normal case) nothing happens.
enum class FileOp { Create, Write, Flush, Move, Delete, Lock };
enum class FaultPhase { Before, After };
using FileFaultHook = bool (*)(FileOp op, FaultPhase phase, const char* path, void* context);
void set_file_fault_hook(FileFaultHook hook, void* context);

// For the implementations: true when the operation may go on.
bool file_fault_point(FileOp op, FaultPhase phase, const std::string& path);

}  // namespace platform
