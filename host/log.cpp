#include "host/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "host/game.h"

namespace ModLog {
namespace {

std::atomic<bool> g_enabled{true};
std::atomic<Sink> g_sink{&stderr_sink};
// One line at a time reaches the sink, so lines of the two threads never interleave.
std::mutex g_sink_mutex;

constexpr size_t kLineBuffer = 1024;
constexpr size_t kMaxText = 1021;

}  // namespace

void log(const char* format, ...) {
    if (!g_enabled.load(std::memory_order_relaxed)) return;
    Sink sink = g_sink.load(std::memory_order_acquire);
    if (!sink || !format) return;
    char line[kLineBuffer];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, kMaxText + 1, format, args);
    va_end(args);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n) > kMaxText ? kMaxText : static_cast<size_t>(n);
    line[len] = '\0';
    if (len == 0 || line[len - 1] != '\n') {
        line[len++] = '\n';
        line[len] = '\0';
    }
    std::lock_guard<std::mutex> lock(g_sink_mutex);
    sink(line);
}

void set_log_sink(Sink sink) { g_sink.store(sink ? sink : &stderr_sink, std::memory_order_release); }

void set_log_enabled(bool enabled) { g_enabled.store(enabled, std::memory_order_relaxed); }

void stderr_sink(const char* line) {
    fputs(line, stderr);
    fflush(stderr);
}

void game_sink(const char* line) { game::debug_print(line); }

void reset() {
    set_log_enabled(true);
    set_log_sink(nullptr);
}

}  // namespace ModLog
