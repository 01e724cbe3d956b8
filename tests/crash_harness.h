// Crash-safety harness: runs an operation in a forked child that is killed (or has one file
// operation fail) at its n-th file fault point, for n = 1, 2, ... until the operation runs to
// the end untouched; after every run the parent "restarts" (runs recovery) and checks an
// invariant. So every instant at which the file layer can be interrupted is tried once.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace crash {

// Kill: SIGKILL at the fault point, the process dies there. Fail: the file operation at the
// fault point fails, and the operation goes on.
enum class Mode { Kill, Fail };

struct Outcome {
    int point = 0;          // the fault point that was hit (1-based), 0 for the clean run
    bool killed = false;    // the child died at the point
    bool faulted = false;   // an operation was failed at the point (Fail mode)
    bool succeeded = false; // the operation returned true (not killed)
};

struct Case {
    std::function<void()> setup;       // parent, before each run: lay the files down afresh
    std::function<bool()> operation;   // child: the operation under test
    std::function<void()> recover;     // parent, after each run: what a restart does
    // parent, after recovery: empty text when the invariant holds, else what is wrong.
    std::function<std::string(const Outcome&)> check;
    Mode mode = Mode::Kill;
    int max_points = 2000;
};

struct Report {
    int fault_points = 0;  // points the clean run passes through
    int runs = 0;
    std::vector<std::string> failures;  // "point N: what is wrong"
};

Report run(const Case& c);

}  // namespace crash
