#include "tests/crash_harness.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/files.h"

namespace crash {
namespace {

struct ChildHook {
    int target;
    int count;
    Mode mode;
    bool hit;
};

bool on_fault_point(platform::FileOp, platform::FaultPhase, const char*, void* context) {
    auto* h = static_cast<ChildHook*>(context);
    if (++h->count != h->target) return true;
    h->hit = true;
    if (h->mode == Mode::Kill) kill(getpid(), SIGKILL);
    return false;
}

// Child exit codes: bit 0 the operation succeeded, bit 1 the fault point was reached.
constexpr int kSucceeded = 1, kReached = 2;

}  // namespace

Report run(const Case& c) {
    Report report;
    for (int n = 1; n <= c.max_points + 1; ++n) {
        if (c.setup) c.setup();
        pid_t pid = fork();
        if (pid < 0) {
            report.failures.push_back("fork failed");
            return report;
        }
        if (pid == 0) {
            ChildHook hook{n, 0, c.mode, false};
            platform::set_file_fault_hook(&on_fault_point, &hook);
            bool ok = c.operation();
            platform::set_file_fault_hook(nullptr, nullptr);
            _exit((ok ? kSucceeded : 0) | (hook.hit ? kReached : 0));
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0) {
        }
        ++report.runs;
        Outcome out;
        bool clean = false;
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
            out.point = n;
            out.killed = true;
        } else if (WIFEXITED(status)) {
            int code = WEXITSTATUS(status);
            out.succeeded = (code & kSucceeded) != 0;
            out.faulted = (code & kReached) != 0;
            out.point = out.faulted ? n : 0;
            clean = !out.faulted;
        } else {
            report.failures.push_back("point " + std::to_string(n) + ": the child ended abnormally");
            return report;
        }
        if (c.recover) c.recover();
        std::string why = c.check ? c.check(out) : std::string();
        if (!why.empty()) report.failures.push_back("point " + std::to_string(out.point) + ": " + why);
        if (clean) {
            report.fault_points = n - 1;
            return report;
        }
    }
    report.failures.push_back("the operation never ran to its end within the point limit");
    return report;
}

}  // namespace crash
