#include <windows.h>
#include <shellapi.h>

#include <ctime>

#include "platform/platform.h"

namespace platform {

struct File {
    HANDLE handle;
};

uint64_t tick_ms() { return static_cast<uint64_t>(GetTickCount64()); }

int64_t calendar_seconds() { return static_cast<int64_t>(time(nullptr)); }

void on_fork(void (*)(), void (*)()) {}

int message_box(const char* title, const char* text, uint32_t style) {
    return MessageBoxA(nullptr, text, title, style);
}

void shell_open(const char* address) {
    ShellExecuteA(nullptr, "open", address, nullptr, nullptr, SW_SHOWNORMAL);
}

bool foreground_is_own_process() {
    HWND window = GetForegroundWindow();
    if (!window) return false;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process == GetCurrentProcessId();
}

bool key_down(int virtual_key) { return (GetAsyncKeyState(virtual_key) & 0x8000) != 0; }

File* file_open_read(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return nullptr;
    }
    return new File{h};
}

long file_read(File* file, void* buffer, size_t size) {
    if (!file) return -1;
    DWORD want = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!ReadFile(file->handle, buffer, want, &got, nullptr)) return -1;
    return static_cast<long>(got);
}

void file_close(File* file) {
    if (!file) return;
    CloseHandle(file->handle);
    delete file;
}

bool write_whole_file(const std::string& path, const void* data, size_t size) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const char* p = static_cast<const char*>(data);
    bool ok = true;
    while (size > 0) {
        DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(h, p, chunk, &written, nullptr) || written == 0) {
            ok = false;
            break;
        }
        p += written;
        size -= written;
    }
    return CloseHandle(h) && ok;
}

}  // namespace platform
