#include <atomic>

#include "platform/files.h"

namespace platform {
namespace {

// Atomics, so that a hook set by a test is seen by any thread without a lock; the hook is
// never changed while file operations run.
std::atomic<FileFaultHook> g_hook{nullptr};
std::atomic<void*> g_context{nullptr};

}  // namespace

void set_file_fault_hook(FileFaultHook hook, void* context) {
    g_context.store(context);
    g_hook.store(hook);
}

bool file_fault_point(FileOp op, FaultPhase phase, const std::string& path) {
    FileFaultHook hook = g_hook.load(std::memory_order_relaxed);
    if (!hook) return true;
    return hook(op, phase, path.c_str(), g_context.load());
}

}  // namespace platform
