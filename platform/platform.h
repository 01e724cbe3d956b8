// Door 1: the operating system. Everything the system needs from the OS goes through
// these few functions, so the core builds and runs unchanged on Windows and on Linux.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Milliseconds since system start (monotonic, 64-bit).
uint64_t tick_ms();
// Calendar time in seconds; only used to seed the session id generator.
int64_t calendar_seconds();

// Handlers run around a fork of the process: `prepare` in the parent before it, `child` in the
// new process. Windows has no fork: nothing is registered there.
void on_fork(void (*prepare)(), void (*child)());

// Message box styles and answers, with their Windows values.
constexpr uint32_t kBoxOkWarning = 0x30;
constexpr uint32_t kBoxOkError = 0x10;
constexpr uint32_t kBoxYesNoWarningForeground = 0x10034;
constexpr int kAnswerOk = 1;
constexpr int kAnswerYes = 6;
constexpr int kAnswerNo = 7;

// Modal, no owner window; blocks the calling thread until closed. Returns the answer.
int message_box(const char* title, const char* text, uint32_t style);
// Ask the shell to "open" an address (no parameters, no working folder, shown normally).
void shell_open(const char* address);

// The game window: true when the foreground window belongs to this process, and whether a
// key (a Windows virtual-key code) is down at this moment.
bool foreground_is_own_process();
bool key_down(int virtual_key);

// Files. Paths are written the Windows way (folder + "\name"); the POSIX side maps them.
struct File;
File* file_open_read(const std::string& path);  // null when it cannot be opened
// Reads up to `size` bytes; returns the count, 0 at the end, -1 on error.
long file_read(File* file, void* buffer, size_t size);
void file_close(File* file);
// Creates or truncates `path` and writes `size` bytes. False when anything failed.
bool write_whole_file(const std::string& path, const void* data, size_t size);

}  // namespace platform
