#include "tests/i386/game_pages.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

// The linker's name for the first byte of the program image.
extern "C" char __executable_start[];

namespace game {
// A game address is a pointer here, as in the DLL.
uintptr_t g_base = 0;
}  // namespace game

namespace game_pages {

namespace {

struct Page {
    uint32_t protect;  // Windows protection
    uint32_t type;
    game_addr allocation_base;
};

std::map<game_addr, Page>& pages() {
    static std::map<game_addr, Page> table;
    return table;
}

game_addr page_of(game_addr address) { return address & ~(kPageSize - 1); }

void* host(game_addr address) { return reinterpret_cast<void*>(static_cast<uintptr_t>(address)); }

// [first page, last page] of a range, or false when it is empty, wraps or reaches the image.
bool page_span(game_addr address, uint32_t size, game_addr& first, game_addr& last) {
    if (size == 0 || address > UINT32_MAX - (size - 1)) return false;
    game_addr end = address + (size - 1);
    if (end >= image_start()) return false;
    first = page_of(address);
    last = page_of(end);
    return true;
}

bool map_page(game_addr page, game_addr allocation_base) {
    void* want = host(page);
    void* got = mmap(want, kPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE,
                     -1, 0);
    if (got == MAP_FAILED) {
        std::fprintf(stderr, "game_pages: cannot map 0x%08x: %s\n", page, std::strerror(errno));
        return false;
    }
    // Where the flag is not understood (qemu-user among them) it is only a hint, and a taken
    // page yields a mapping somewhere else instead of an error.
    if (got != want) {
        munmap(got, kPageSize);
        std::fprintf(stderr, "game_pages: 0x%08x is already in use\n", page);
        return false;
    }
    bool in_image = page >= kImageBase && page < kImageEnd;
    pages()[page] = Page{game::kPageReadWrite, in_image ? game::kMemImage : kMemPrivate,
                         in_image ? kImageBase : allocation_base};
    return true;
}

bool protect_pages(game_addr first, game_addr last, uint32_t windows_protect) {
    int prot = host_protection(windows_protect);
    if (prot < 0) return false;
    for (game_addr page = first;; page += kPageSize) {
        if (mprotect(host(page), kPageSize, prot) != 0) return false;
        pages()[page].protect = windows_protect;
        if (page == last) return true;
    }
}

bool place(game_addr address, const void* bytes, uint32_t size, uint32_t final_protect) {
    game_addr first, last;
    if (!map(address, size) || !page_span(address, size, first, last)) return false;
    if (!protect_pages(first, last, game::kPageReadWrite)) return false;
    std::memcpy(host(address), bytes, size);
    if (!protect_pages(first, last, final_protect)) return false;
    char* begin = static_cast<char*>(host(address));
    __builtin___clear_cache(begin, begin + size);
    return true;
}

}  // namespace

game_addr image_start() {
    return static_cast<game_addr>(reinterpret_cast<uintptr_t>(__executable_start));
}

int host_protection(uint32_t p) {
    // Caching modifiers change nothing an access can see; a guard page faults on any access.
    const uint32_t modifiers = game::kPageGuard | game::kPageNoCache | 0x400;
    uint32_t base = p & ~modifiers;
    int prot;
    switch (base) {
        case game::kPageNoAccess: prot = PROT_NONE; break;
        case game::kPageReadOnly: prot = PROT_READ; break;
        case game::kPageReadWrite:
        case game::kPageWriteCopy: prot = PROT_READ | PROT_WRITE; break;
        // x86 cannot execute what it cannot read.
        case game::kPageExecute:
        case game::kPageExecuteRead: prot = PROT_READ | PROT_EXEC; break;
        case game::kPageExecuteReadWrite:
        case game::kPageExecuteWriteCopy: prot = PROT_READ | PROT_WRITE | PROT_EXEC; break;
        default: return -1;  // none or several base protections
    }
    if (p & game::kPageGuard) {
        if (base == game::kPageNoAccess) return -1;
        prot = PROT_NONE;
    }
    return prot;
}

bool map(game_addr address, uint32_t size) {
    game_addr first, last;
    if (!page_span(address, size, first, last)) {
        std::fprintf(stderr, "game_pages: refused 0x%08x+0x%x: empty, wrapping or not below the program image\n", address, size);
        return false;
    }
    std::vector<game_addr> mapped_now;
    for (game_addr page = first;; page += kPageSize) {
        if (!pages().count(page)) {
            if (!map_page(page, first)) {
                // All or nothing: a refused range leaves no new page behind.
                for (game_addr undo : mapped_now) {
                    munmap(host(undo), kPageSize);
                    pages().erase(undo);
                }
                return false;
            }
            mapped_now.push_back(page);
        }
        if (page == last) return true;
    }
}

bool place_code(game_addr address, const void* bytes, uint32_t size) {
    return place(address, bytes, size, game::kPageExecuteRead);
}

bool place_data(game_addr address, const void* bytes, uint32_t size) {
    return place(address, bytes, size, game::kPageReadWrite);
}

bool set_protection(game_addr address, uint32_t size, uint32_t windows_protect) {
    game_addr first, last;
    if (!is_mapped(address, size) || !page_span(address, size, first, last)) return false;
    return protect_pages(first, last, windows_protect);
}

void query(game_addr address, game::RegionInfo& info) {
    const game_addr page = page_of(address);
    info = game::RegionInfo{};
    info.base = page;
    auto it = pages().find(page);
    if (it == pages().end()) {
        // Free up to the next page of ours (the rest of the process is none of the game's).
        auto next = pages().upper_bound(page);
        uint64_t end = next == pages().end() ? (1ull << 32) : next->first;
        info.size = static_cast<uint32_t>(end - page);
        info.state = kMemFree;
        info.protect = game::kPageNoAccess;
        return;
    }
    const Page& p = it->second;
    // Like VirtualQuery, the region runs on over following pages of the same kind.
    uint64_t end = uint64_t(page) + kPageSize;
    for (auto next = std::next(it); next != pages().end() && next->first == end; ++next) {
        const Page& n = next->second;
        if (n.protect != p.protect || n.type != p.type || n.allocation_base != p.allocation_base) break;
        end += kPageSize;
    }
    info.allocation_base = p.allocation_base;
    info.allocation_protect = p.protect;
    info.size = static_cast<uint32_t>(end - page);
    info.state = game::kMemCommit;
    info.protect = p.protect;
    info.type = p.type;
}

bool is_mapped(game_addr address, uint32_t size) {
    game_addr first, last;
    if (!page_span(address, size, first, last)) return false;
    for (game_addr page = first;; page += kPageSize) {
        if (!pages().count(page)) return false;
        if (page == last) return true;
    }
}

void unmap_all() {
    for (const auto& [page, info] : pages()) munmap(host(page), kPageSize);
    pages().clear();
}

}  // namespace game_pages
