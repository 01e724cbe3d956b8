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

// Page address -> its current mmap protection.
std::map<game_addr, int>& pages() {
    static std::map<game_addr, int> table;
    return table;
}

game_addr page_of(game_addr address) { return address & ~(kPageSize - 1); }

// [first page, last page] of a range, or false when it is empty, wraps or reaches the image.
bool page_span(game_addr address, uint32_t size, game_addr& first, game_addr& last) {
    if (size == 0 || address > UINT32_MAX - (size - 1)) return false;
    game_addr end = address + (size - 1);
    if (end >= image_start()) return false;
    first = page_of(address);
    last = page_of(end);
    return true;
}

bool map_page(game_addr page) {
    void* want = reinterpret_cast<void*>(static_cast<uintptr_t>(page));
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
    pages()[page] = PROT_READ | PROT_WRITE;
    return true;
}

bool set_protection(game_addr first, game_addr last, int prot) {
    for (game_addr page = first;; page += kPageSize) {
        if (mprotect(reinterpret_cast<void*>(static_cast<uintptr_t>(page)), kPageSize, prot) != 0) return false;
        pages()[page] = prot;
        if (page == last) return true;
    }
}

bool place(game_addr address, const void* bytes, uint32_t size, int final_prot) {
    game_addr first, last;
    if (!map(address, size) || !page_span(address, size, first, last)) return false;
    if (!set_protection(first, last, PROT_READ | PROT_WRITE)) return false;
    std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), bytes, size);
    if (!set_protection(first, last, final_prot)) return false;
    char* begin = reinterpret_cast<char*>(static_cast<uintptr_t>(address));
    __builtin___clear_cache(begin, begin + size);
    return true;
}

}  // namespace

game_addr image_start() {
    return static_cast<game_addr>(reinterpret_cast<uintptr_t>(__executable_start));
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
            if (!map_page(page)) {
                // All or nothing: a refused range leaves no new page behind.
                for (game_addr undo : mapped_now) {
                    munmap(reinterpret_cast<void*>(static_cast<uintptr_t>(undo)), kPageSize);
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
    return place(address, bytes, size, PROT_READ | PROT_EXEC);
}

bool place_data(game_addr address, const void* bytes, uint32_t size) {
    return place(address, bytes, size, PROT_READ | PROT_WRITE);
}

bool protect(game_addr address, uint32_t size, int prot) {
    game_addr first, last;
    if (!is_mapped(address, size) || !page_span(address, size, first, last)) return false;
    return set_protection(first, last, prot);
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
    for (const auto& [page, prot] : pages()) munmap(reinterpret_cast<void*>(static_cast<uintptr_t>(page)), kPageSize);
    pages().clear();
}

}  // namespace game_pages
