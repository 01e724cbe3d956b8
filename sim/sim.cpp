#include "sim/sim.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <atomic>
#include <mutex>

#include "net/worker.h"
#include "platform/platform.h"
#include "storage/deposit.h"
#include "platform/posix/posix_control.h"
#include "sim/game_code.h"

namespace game {
uintptr_t g_base = 0;
}

namespace sim {
namespace {

constexpr uint64_t kSpace = 1ull << 32;

struct Run {
    game_addr end;  // exclusive; 0 means the top of the space
    uint32_t protect;
    uint32_t type;
    game_addr allocation_base;
};

struct State {
    unsigned char* view = nullptr;   // follows the Windows protections
    unsigned char* poke_view = nullptr;  // always writable, for the simulator itself
    int fd = -1;
    std::map<game_addr, Run> runs;
    Recording recording;
    std::deque<int> box_answers;
    std::atomic<uint64_t> clock_us{0};  // the worker thread reads the tick count too
    uint64_t frame = 0;
    game_addr heap_next = kHeapBase;
    World world;
    HelperWord helpers[64] = {};
};

// Never destroyed: the sync worker may still log into the recording while the process exits
// (its thread is let go, not joined), so the state must outlive every static destructor.
State& st() {
    static State* s = new State();
    return *s;
}

uint64_t run_end(const Run& r) { return r.end == 0 ? kSpace : r.end; }

int host_protection(uint32_t protect) {
    if (protect & game::kPageGuard) return PROT_NONE;
    switch (protect & 0xFF) {
        case game::kPageReadWrite:
        case game::kPageWriteCopy:
        case game::kPageExecuteReadWrite:
        case game::kPageExecuteWriteCopy:
            return PROT_READ | PROT_WRITE;
        case game::kPageReadOnly:
        case game::kPageExecute:
        case game::kPageExecuteRead:
            return PROT_READ;
        default:
            return PROT_NONE;
    }
}

void fail(const char* what) {
    perror(what);
    abort();
}

void reserve_once() {
    State& s = st();
    if (s.view) return;
    s.fd = memfd_create("velmora-sim", MFD_CLOEXEC);
    if (s.fd < 0) fail("sim: memfd_create");
    if (ftruncate(s.fd, static_cast<off_t>(kSpace)) != 0) fail("sim: ftruncate");
    void* a = mmap(nullptr, kSpace, PROT_NONE, MAP_SHARED | MAP_NORESERVE, s.fd, 0);
    void* b = mmap(nullptr, kSpace, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, s.fd, 0);
    if (a == MAP_FAILED || b == MAP_FAILED) fail("sim: mmap");
    s.view = static_cast<unsigned char*>(a);
    s.poke_view = static_cast<unsigned char*>(b);
    game::g_base = reinterpret_cast<uintptr_t>(s.view);
}

// Cuts the runs so that [base, end) is covered by nothing, keeping what lies outside.
void carve(game_addr base, uint64_t end) {
    auto& runs = st().runs;
    auto it = runs.upper_bound(base);
    if (it != runs.begin()) --it;
    while (it != runs.end() && it->first < end) {
        game_addr start = it->first;
        Run r = it->second;
        uint64_t rend = run_end(r);
        if (rend <= base) {
            ++it;
            continue;
        }
        it = runs.erase(it);
        if (start < base) runs[start] = Run{base, r.protect, r.type, r.allocation_base};
        if (rend > end) runs[static_cast<game_addr>(end)] = r;
    }
}

void apply_host_protection(game_addr base, uint64_t size, uint32_t protect) {
    if (mprotect(st().view + base, size, host_protection(protect)) != 0) fail("sim: mprotect");
}

void record_screen(int32_t position, const char* text) {
    State& s = st();
    if (!s.recording.keep_screen && !s.recording.on_screen) return;
    ScreenLine line{s.frame, position, text ? text : ""};
    if (s.recording.keep_screen) s.recording.screen.push_back(line);
    if (s.recording.on_screen) s.recording.on_screen(line);
}

int answer_box(const char* title, const char* text, uint32_t style) {
    State& s = st();
    BoxShown box{title, text, style};
    s.recording.boxes.push_back(box);
    if (s.recording.on_box) s.recording.on_box(box);
    int answer = 0;
    if (!s.box_answers.empty()) {
        answer = s.box_answers.front();
        s.box_answers.pop_front();
    }
    if (answer == 0) answer = (style & 0xF) == 0x4 ? platform::kAnswerNo : platform::kAnswerOk;
    return answer;
}

uint64_t page_down(uint64_t a) { return a & ~uint64_t(kPageSize - 1); }
uint64_t page_up(uint64_t a) { return (a + kPageSize - 1) & ~uint64_t(kPageSize - 1); }

}  // namespace

void map(game_addr base, uint32_t size, uint32_t protect, uint32_t type, game_addr allocation_base) {
    reserve_once();
    uint64_t b = page_down(base), e = page_up(uint64_t(base) + size);
    carve(static_cast<game_addr>(b), e);
    st().runs[static_cast<game_addr>(b)] = Run{static_cast<game_addr>(e), protect, type, allocation_base};
    apply_host_protection(static_cast<game_addr>(b), e - b, protect);
}

void unmap(game_addr base, uint32_t size) {
    reserve_once();
    uint64_t b = page_down(base), e = page_up(uint64_t(base) + size);
    carve(static_cast<game_addr>(b), e);
    apply_host_protection(static_cast<game_addr>(b), e - b, game::kPageNoAccess);
    fallocate(st().fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(b), static_cast<off_t>(e - b));
}

void set_protection(game_addr base, uint32_t size, uint32_t protect) {
    uint32_t old = 0;
    game::protect_region(base, size, protect, old);
}

void poke(game_addr address, const void* data, size_t size) {
    reserve_once();
    memcpy(st().poke_view + address, data, size);
}

void peek(game_addr address, void* data, size_t size) {
    reserve_once();
    memcpy(data, st().poke_view + address, size);
}

game_addr alloc(uint32_t size) {
    State& s = st();
    game_addr at = s.heap_next;
    uint32_t rounded = static_cast<uint32_t>(page_up(size ? size : 1));
    map(at, rounded, game::kPageReadWrite, kMemPrivate, at);
    s.heap_next += rounded + kPageSize;  // a gap, so overruns fault
    return at;
}

uint64_t now_ms() { return st().clock_us / 1000; }
void advance_ms(uint64_t ms) { st().clock_us += ms * 1000; }

World& world() { return st().world; }

void enter_garden(int32_t garden) {
    game::write<uint16_t>(game::addr::level, game::kGardenLevel);
    game::write<uint16_t>(game::addr::game_state, 16);
    world().garden = garden;
}

void leave_garden() {
    game::write<uint16_t>(game::addr::level, 0);
    game::write<uint16_t>(game::addr::game_state, 16);
    world().garden = 0;
}

void set_save_path(const char* path) {
    if (!path) {
        game::write<game_addr>(game::addr::save_path, 0);
        return;
    }
    size_t n = strlen(path) + 1;
    game_addr text = alloc(static_cast<uint32_t>(n));
    poke(text, path, n);
    game::write<game_addr>(game::addr::save_path, text);
}

void set_progress(int32_t rings, uint8_t emblems, int32_t lobby_unlocks, int32_t character) {
    game::write<int32_t>(game::addr::rings, rings);
    game::write<uint8_t>(game::addr::emblems, emblems);
    game::write<int32_t>(game::addr::lobby_unlocks, lobby_unlocks);
    game::write<int32_t>(game::addr::active_character, character);
    // A player object exists, so the active character counts.
    game::write<uint32_t>(game::addr::character_data, 1);
}
Recording& recording() { return st().recording; }
void queue_box_answer(int answer) { st().box_answers.push_back(answer); }
uint64_t frame_number() { return st().frame; }

const HelperWord* helper_table(int32_t version, bool null_screen_text) {
    State& s = st();
    memset(s.helpers, 0, sizeof s.helpers);
    s.helpers[0] = static_cast<HelperWord>(static_cast<uint32_t>(version));
    if (version >= kHelperScreenTextVersion && !null_screen_text)
        s.helpers[kHelperScreenTextWord] = reinterpret_cast<HelperWord>(&record_screen);
    return s.helpers;
}

// Guards the debug lines, which the worker thread's log lines reach as well; never destroyed,
// like the state.
std::mutex& g_debug_lock = *new std::mutex();

void reset() {
    // A worker thread of the previous run must be gone before its state is reset.
    StopWorker();
    WaitWorkerExit(10000);
    reserve_once();
    State& s = st();
    // The whole space back to free, contents dropped.
    s.runs.clear();
    apply_host_protection(0, kSpace, game::kPageNoAccess);
    fallocate(s.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(kSpace));
    {
        std::lock_guard<std::mutex> g(g_debug_lock);
        s.recording.debug_lines.clear();
    }
    s.recording.boxes.clear();
    s.recording.screen.clear();
    s.recording.keep_screen = true;
    s.recording.opened.clear();
    s.box_answers.clear();
    s.clock_us = 60'000'000;
    s.frame = 0;
    s.heap_next = kHeapBase;
    s.world = World{};

    // The game's executable: headers, code, data.
    map(kImageBase, kPageSize, game::kPageReadOnly, game::kMemImage, kImageBase);
    map(kImageBase + kPageSize, kCodeEnd - kImageBase - kPageSize, game::kPageExecuteRead, game::kMemImage,
        kImageBase);
    map(kCodeEnd, kImageEnd - kCodeEnd, game::kPageReadWrite, game::kMemImage, kImageBase);
    place_game_code();

    platform::posix::set_message_box_handler(&answer_box);
    platform::posix::set_shell_open_handler([](const char* address) {
        st().recording.opened.push_back(address ? address : "");
    });
    platform::posix::set_tick_source([] { return now_ms(); });
    reset_library_state();
    set_storage_scratch(0, 0);  // a block of the previous game's memory is gone
}

void load(const char* path, int32_t helper_version, bool null_screen_text) {
    Init(path, helper_table(helper_version, null_screen_text));
}

void frame() {
    State& s = st();
    ++s.frame;
    OnControl();
    OnFrame();
    run_task_frame();
    s.clock_us += 16'667;
}

void unload() { on_process_detach(); }

std::vector<std::string> debug_lines() {
    std::lock_guard<std::mutex> g(g_debug_lock);
    return st().recording.debug_lines;
}

std::vector<std::string> take_debug_lines() {
    std::vector<std::string> out;
    std::lock_guard<std::mutex> g(g_debug_lock);
    out.swap(st().recording.debug_lines);
    return out;
}

}  // namespace sim

// Door 2, simulated.
namespace game {

void debug_print(const char* line) {
    std::string text = std::string("[velmora] ") + (line ? line : "");
    auto& rec = sim::st().recording;
    std::lock_guard<std::mutex> g(sim::g_debug_lock);
    rec.debug_lines.push_back(text);
    if (rec.on_debug_line) rec.on_debug_line(text);
}

int32_t current_garden() { return sim::world().garden; }


bool query_region(game_addr address, RegionInfo& info) {
    auto& runs = sim::st().runs;
    uint64_t page = sim::page_down(address);
    auto it = runs.upper_bound(address);
    bool inside = false;
    if (it != runs.begin()) {
        auto prev = std::prev(it);
        if (address < sim::run_end(prev->second)) {
            it = prev;
            inside = true;
        }
    }
    info.base = static_cast<game_addr>(page);
    if (inside) {
        const sim::Run& r = it->second;
        // Like VirtualQuery, the region runs on over neighbouring pages of the same kind.
        uint64_t end = sim::run_end(r);
        for (auto next = std::next(it); next != runs.end() && next->first == end; ++next) {
            const sim::Run& n = next->second;
            if (n.protect != r.protect || n.type != r.type || n.allocation_base != r.allocation_base) break;
            end = sim::run_end(n);
        }
        info.allocation_base = r.allocation_base;
        info.allocation_protect = r.protect;
        info.size = static_cast<uint32_t>(end - page);
        info.state = kMemCommit;
        info.protect = r.protect;
        info.type = r.type;
    } else {
        uint64_t next = it == runs.end() ? sim::kSpace : it->first;
        info.allocation_base = 0;
        info.allocation_protect = 0;
        info.size = static_cast<uint32_t>(next - page);
        info.state = sim::kMemFree;
        info.protect = kPageNoAccess;
        info.type = 0;
    }
    return true;
}

game_addr main_module() { return sim::kImageBase; }

bool protect_region(game_addr address, uint32_t size, uint32_t new_protect, uint32_t& old_protect) {
    if (size == 0) return false;
    uint64_t b = sim::page_down(address), e = sim::page_up(uint64_t(address) + size);
    // Like VirtualProtect: the whole range must be committed and of one allocation.
    RegionInfo first{};
    query_region(static_cast<game_addr>(b), first);
    if (first.state != kMemCommit) return false;
    for (uint64_t p = b; p < e; p += sim::kPageSize) {
        RegionInfo ri{};
        query_region(static_cast<game_addr>(p), ri);
        if (ri.state != kMemCommit || ri.allocation_base != first.allocation_base) return false;
    }
    old_protect = first.protect;
    // Re-run each page with its own type and allocation, new protection.
    for (uint64_t p = b; p < e;) {
        RegionInfo ri{};
        query_region(static_cast<game_addr>(p), ri);
        uint64_t chunk_end = std::min<uint64_t>(e, uint64_t(ri.base) + ri.size);
        sim::carve(static_cast<game_addr>(p), chunk_end);
        sim::st().runs[static_cast<game_addr>(p)] =
            sim::Run{static_cast<game_addr>(chunk_end), new_protect, ri.type, ri.allocation_base};
        sim::apply_host_protection(static_cast<game_addr>(p), chunk_end - p, new_protect);
        p = chunk_end;
    }
    return true;
}

bool flush_code(game_addr, uint32_t) { return true; }

}  // namespace game
