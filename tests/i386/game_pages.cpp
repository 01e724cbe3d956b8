#include "tests/i386/game_pages.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

extern "C" char __executable_start[];  // the linker's name for the program image's first byte

namespace game_pages {
namespace {

constexpr uint32_t kMemPrivate = 0x20000, kMemFree = 0x10000;

struct Page {
    uint32_t protect, type;  // Windows protection and type
    game_addr allocation_base;
};

std::map<game_addr, Page>& pages() {
    static std::map<game_addr, Page> table;
    return table;
}

void* host(game_addr address) { return reinterpret_cast<void*>(static_cast<uintptr_t>(address)); }

// [first page, last page] of a range, or false when it is empty, wraps or reaches the image.
bool page_span(game_addr address, uint32_t size, game_addr& first, game_addr& last) {
    if (size == 0 || address > UINT32_MAX - (size - 1) || address + (size - 1) >= image_start()) return false;
    first = address & ~(kPageSize - 1);
    last = (address + (size - 1)) & ~(kPageSize - 1);
    return true;
}

bool map_page(game_addr page, game_addr allocation_base) {
    void* got = mmap(host(page), kPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE,
                     -1, 0);
    if (got == MAP_FAILED) {
        std::fprintf(stderr, "game_pages: cannot map 0x%08x: %s\n", page, std::strerror(errno));
        return false;
    }
    // qemu-user takes the flag as a hint only: a taken page yields a mapping elsewhere.
    if (got != host(page)) {
        munmap(got, kPageSize);
        std::fprintf(stderr, "game_pages: 0x%08x is already in use\n", page);
        return false;
    }
    bool in_image = page >= kImageBase && page < kImageEnd;
    pages()[page] = Page{game::kPageReadWrite, in_image ? game::kMemImage : kMemPrivate,
                         in_image ? kImageBase : allocation_base};
    return true;
}

// The mmap protection standing for a Windows one; -1 when Windows would refuse it.
int host_protection(uint32_t p) {
    const uint32_t base = p & ~(game::kPageGuard | game::kPageNoCache | 0x400);  // caching changes no access
    int prot;
    switch (base) {
        case game::kPageNoAccess: prot = PROT_NONE; break;
        case game::kPageReadOnly: prot = PROT_READ; break;
        case game::kPageReadWrite:
        case game::kPageWriteCopy: prot = PROT_READ | PROT_WRITE; break;
        case game::kPageExecute:  // x86 cannot execute what it cannot read
        case game::kPageExecuteRead: prot = PROT_READ | PROT_EXEC; break;
        case game::kPageExecuteReadWrite:
        case game::kPageExecuteWriteCopy: prot = PROT_READ | PROT_WRITE | PROT_EXEC; break;
        default: return -1;  // none or several base protections
    }
    if (p & game::kPageGuard) return base == game::kPageNoAccess ? -1 : PROT_NONE;  // faults on any access
    return prot;
}

bool protect_pages(game_addr first, game_addr last, uint32_t windows_protect) {
    int prot = host_protection(windows_protect);
    if (prot < 0) return false;
    for (game_addr page = first; page <= last; page += kPageSize) {
        if (mprotect(host(page), kPageSize, prot) != 0) return false;
        pages()[page].protect = windows_protect;
    }
    return true;
}

bool place(game_addr address, const void* bytes, uint32_t size, uint32_t final_protect) {
    game_addr first, last;
    if (!map(address, size) || !page_span(address, size, first, last) ||
        !protect_pages(first, last, game::kPageReadWrite))
        return false;
    std::memcpy(host(address), bytes, size);
    if (!protect_pages(first, last, final_protect)) return false;
    __builtin___clear_cache(static_cast<char*>(host(address)), static_cast<char*>(host(address)) + size);
    return true;
}

}  // namespace

game_addr image_start() { return static_cast<game_addr>(reinterpret_cast<uintptr_t>(__executable_start)); }

bool map(game_addr address, uint32_t size) {
    game_addr first, last;
    if (!page_span(address, size, first, last)) {
        std::fprintf(stderr, "game_pages: refused 0x%08x+0x%x: empty, wrapping or not below the program\n", address,
                     size);
        return false;
    }
    std::vector<game_addr> mapped_now;
    for (game_addr page = first; page <= last; page += kPageSize) {
        if (pages().count(page)) continue;
        if (!map_page(page, first)) {
            for (game_addr undo : mapped_now) {  // all or nothing
                munmap(host(undo), kPageSize);
                pages().erase(undo);
            }
            return false;
        }
        mapped_now.push_back(page);
    }
    return true;
}

bool place_code(game_addr address, const void* bytes, uint32_t size) {
    return place(address, bytes, size, game::kPageExecuteRead);
}

bool place_data(game_addr address, const void* bytes, uint32_t size) {
    return place(address, bytes, size, game::kPageReadWrite);
}

bool set_protection(game_addr address, uint32_t size, uint32_t windows_protect) {
    game_addr first, last;
    return is_mapped(address, size) && page_span(address, size, first, last) &&
           protect_pages(first, last, windows_protect);
}

bool is_mapped(game_addr address, uint32_t size) {
    game_addr first, last;
    if (!page_span(address, size, first, last)) return false;
    for (game_addr page = first; page <= last; page += kPageSize)
        if (!pages().count(page)) return false;
    return true;
}

}  // namespace game_pages

namespace memory_faults {
game_addr g_protect_refused_at = 0;
bool g_flush_fails = false;
}  // namespace memory_faults

namespace game {

uintptr_t g_base = 0;  // a game address is a pointer here, as in the DLL
using game_pages::kPageSize;
using game_pages::pages;

bool query_region(game_addr address, RegionInfo& info) {
    const game_addr page = address & ~(kPageSize - 1);
    info = RegionInfo{};
    info.base = page;
    auto it = pages().find(page);
    if (it == pages().end()) {  // free up to the next page of ours
        auto next = pages().upper_bound(page);
        info.size = static_cast<uint32_t>((next == pages().end() ? (1ull << 32) : next->first) - page);
        info.state = game_pages::kMemFree;
        info.protect = game::kPageNoAccess;
        return true;
    }
    const auto& p = it->second;
    uint64_t end = uint64_t(page) + kPageSize;  // the region runs on over like pages
    for (auto n = std::next(it); n != pages().end() && n->first == end; ++n) {
        if (n->second.protect != p.protect || n->second.type != p.type ||
            n->second.allocation_base != p.allocation_base)
            break;
        end += kPageSize;
    }
    info.allocation_base = p.allocation_base;
    info.allocation_protect = p.protect;
    info.size = static_cast<uint32_t>(end - page);
    info.state = kMemCommit;
    info.protect = p.protect;
    info.type = p.type;
    return true;
}

game_addr main_module() { return game_pages::kImageBase; }

bool protect_region(game_addr address, uint32_t size, uint32_t new_protect, uint32_t& old_protect) {
    const game_addr refused = memory_faults::g_protect_refused_at;
    game_addr first, last;
    if (!game_pages::page_span(address, size, first, last) || (refused && refused >= address && refused - address < size))
        return false;
    auto base = pages().find(first);
    for (game_addr page = first; page <= last; page += kPageSize) {  // like VirtualProtect: committed, one allocation
        auto it = pages().find(page);
        if (it == pages().end() || it->second.allocation_base != base->second.allocation_base) return false;
    }
    const uint32_t was = base->second.protect;
    if (!game_pages::protect_pages(first, last, new_protect)) return false;
    old_protect = was;
    return true;
}

// x86 and qemu keep translated code coherent with stores; the flush is for other hosts.
bool flush_code(game_addr address, uint32_t size) {
    if (memory_faults::g_flush_fails) return false;
    __builtin___clear_cache(game_ptr<char>(address), game_ptr<char>(address) + size);
    return true;
}

// Memory the game's code can reach: private pages above the game's image, never freed.
game_addr alloc_game_memory(uint32_t size) {
    static game_addr next = 0x02000000;
    uint32_t rounded = ((size ? size : 1) + kPageSize - 1) & ~(kPageSize - 1);
    game_addr at = next;
    if (!game_pages::map(at, rounded)) return 0;
    next += rounded + kPageSize;  // a gap, so an overrun faults
    std::memset(game_ptr<char>(at), 0, rounded);
    return at;
}

}  // namespace game
