#include "animals/reserve_writer.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/platform.h"
#include "protect/game_memory.h"

namespace animals {
namespace {

struct Writer {
    std::mutex lock;
    std::condition_variable changed;
    bool thread_running = false;
    bool queued = false;   // a job is waiting for the thread or being written
    bool finished = false; // its result is waiting to be taken
    std::string path, bytes;
    std::vector<unsigned char> table;
    WriteResult result;
};

// Never destroyed: the thread it serves is detached and may outlive static destruction.
Writer& writer() {
    static Writer* w = new Writer();
    return *w;
}

void run(Writer* w) {
    std::unique_lock<std::mutex> g(w->lock);
    for (;;) {
        w->changed.wait(g, [w] { return w->queued && !w->finished; });
        std::string path = w->path, bytes;
        bytes.swap(w->bytes);
        std::vector<unsigned char> table;
        table.swap(w->table);
        g.unlock();
        WriteResult r;
        r.ok = platform::write_file_atomically(path, bytes);
        r.hash = game_memory::fnv1a32(table.data(), table.size());
        g.lock();
        w->result = r;
        w->finished = true;
        w->changed.notify_all();
    }
}

// A fork (the crash tests) waits for the write in progress; the child has no writer thread
// and starts its own when it needs one.
void before_fork() {
    Writer& w = writer();
    std::unique_lock<std::mutex> g(w.lock);
    w.changed.wait(g, [&w] { return !w.queued || w.finished; });
}

void in_child() {
    Writer& w = writer();
    new (&w.lock) std::mutex();
    new (&w.changed) std::condition_variable();
    w.thread_running = false;
}

}  // namespace

void writer_submit(const std::string& path, std::string bytes, const void* table, size_t table_size) {
    Writer& w = writer();
    std::lock_guard<std::mutex> g(w.lock);
    if (w.queued) return;
    if (!w.thread_running) {
        static bool fork_handlers = (platform::on_fork(&before_fork, &in_child), true);
        (void)fork_handlers;
        std::thread(run, &w).detach();
        w.thread_running = true;
    }
    w.path = path;
    w.bytes.swap(bytes);
    const auto* t = static_cast<const unsigned char*>(table);
    w.table.assign(t, t + table_size);
    w.queued = true;
    w.finished = false;
    w.changed.notify_all();
}

bool writer_idle() {
    Writer& w = writer();
    std::lock_guard<std::mutex> g(w.lock);
    return !w.queued;
}

bool writer_take_result(WriteResult& result) {
    Writer& w = writer();
    std::lock_guard<std::mutex> g(w.lock);
    if (!w.queued || !w.finished) return false;
    result = w.result;
    w.queued = false;
    w.finished = false;
    return true;
}

void writer_wait() {
    Writer& w = writer();
    std::unique_lock<std::mutex> g(w.lock);
    w.changed.wait(g, [&w] { return !w.queued || w.finished; });
}

}  // namespace animals
