#include "tests/crash_harness.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/files.h"

namespace crash {
namespace {

struct ChildHook {
    int target, count;
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

}  // namespace

Report run(const Case& c) {
    Report report;
    for (int n = 1; n <= c.max_points + 1; ++n) {
        if (c.setup) c.setup();
        pid_t pid = fork();
        if (pid == 0) {
            ChildHook hook{n, 0, c.mode, false};
            platform::set_file_fault_hook(&on_fault_point, &hook);
            bool ok = c.operation();
            platform::set_file_fault_hook(nullptr, nullptr);
            _exit((ok ? 1 : 0) | (hook.hit ? 2 : 0));  // bit 0: succeeded, bit 1: the point was reached
        }
        int status = 0;
        while (pid > 0 && waitpid(pid, &status, 0) < 0) {
        }
        ++report.runs;
        Outcome out;
        out.killed = pid > 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        if (!out.killed && !(pid > 0 && WIFEXITED(status))) {
            report.failures.push_back("point " + std::to_string(n) + ": no child, or it ended abnormally");
            return report;
        }
        int code = out.killed ? 0 : WEXITSTATUS(status);
        out.succeeded = (code & 1) != 0;
        out.faulted = (code & 2) != 0;
        out.point = out.killed || out.faulted ? n : 0;
        if (c.recover) c.recover();
        std::string why = c.check ? c.check(out) : std::string();
        if (!why.empty()) report.failures.push_back("point " + std::to_string(out.point) + ": " + why);
        if (out.point == 0) {  // ran to its end untouched
            report.fault_points = n - 1;
            return report;
        }
    }
    report.failures.push_back("the operation never ran to its end within the point limit");
    return report;
}

}  // namespace crash
