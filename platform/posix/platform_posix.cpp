#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix/posix_control.h"

namespace platform {
namespace {

struct Hooks {
    std::mutex mutex;
    std::function<int(const char*, const char*, uint32_t)> message_box;
    std::function<void(const char*)> shell_open;
    std::function<uint64_t()> ticks;
    std::function<bool()> foreground;
    std::function<bool(int)> key_state;
};

Hooks& hooks() {
    static Hooks h;
    return h;
}

}  // namespace

struct File {
    int fd;
};

namespace posix {

void set_message_box_handler(std::function<int(const char*, const char*, uint32_t)> handler) {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    hooks().message_box = std::move(handler);
}

void set_shell_open_handler(std::function<void(const char*)> handler) {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    hooks().shell_open = std::move(handler);
}

void set_tick_source(std::function<uint64_t()> source) {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    hooks().ticks = std::move(source);
}

void set_foreground_handler(std::function<bool()> handler) {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    hooks().foreground = std::move(handler);
}

void set_key_state_handler(std::function<bool(int)> handler) {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    hooks().key_state = std::move(handler);
}

std::string native_path(const std::string& path) {
    std::string out = path;
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

}  // namespace posix

uint64_t tick_ms() {
    std::function<uint64_t()> source;
    {
        std::lock_guard<std::mutex> lock(hooks().mutex);
        source = hooks().ticks;
    }
    if (source) return source();
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int64_t calendar_seconds() { return static_cast<int64_t>(time(nullptr)); }

void on_fork(void (*prepare)(), void (*child)()) { pthread_atfork(prepare, nullptr, child); }

int message_box(const char* title, const char* text, uint32_t style) {
    std::function<int(const char*, const char*, uint32_t)> handler;
    {
        std::lock_guard<std::mutex> lock(hooks().mutex);
        handler = hooks().message_box;
    }
    if (handler) return handler(title, text, style);
    fprintf(stderr, "message box: %s | %s\n", title, text);
    return (style & 0xF) == 0x4 ? kAnswerNo : kAnswerOk;
}

void shell_open(const char* address) {
    std::function<void(const char*)> handler;
    {
        std::lock_guard<std::mutex> lock(hooks().mutex);
        handler = hooks().shell_open;
    }
    if (handler) handler(address);
}

bool foreground_is_own_process() {
    std::function<bool()> handler;
    {
        std::lock_guard<std::mutex> lock(hooks().mutex);
        handler = hooks().foreground;
    }
    return handler ? handler() : true;
}

bool key_down(int virtual_key) {
    std::function<bool(int)> handler;
    {
        std::lock_guard<std::mutex> lock(hooks().mutex);
        handler = hooks().key_state;
    }
    return handler ? handler(virtual_key) : false;
}

File* file_open_read(const std::string& path) {
    int fd = open(posix::native_path(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {  // a folder is not a file to read
        close(fd);
        return nullptr;
    }
    return new File{fd};
}

long file_read(File* file, void* buffer, size_t size) {
    if (!file) return -1;
    for (;;) {
        ssize_t n = read(file->fd, buffer, size);
        if (n >= 0) return static_cast<long>(n);
        if (errno != EINTR) return -1;
    }
}

void file_close(File* file) {
    if (!file) return;
    close(file->fd);
    delete file;
}

bool write_whole_file(const std::string& path, const void* data, size_t size) {
    int fd = open(posix::native_path(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const char* p = static_cast<const char*>(data);
    bool ok = true;
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return close(fd) == 0 && ok;
}

}  // namespace platform
