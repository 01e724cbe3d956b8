// Reserve files written on a thread of their own, so a save in the middle of play never holds
// up a game frame on the disk. One job at a time: the game thread hands over the next one only
// after it took the result of the last.
#pragma once
#include <cstdint>
#include <string>

namespace animals {

struct WriteResult {
    bool ok = false;
    uint32_t hash = 0;  // FNV-1a-32 of the table the job was made from
};

// Writes `bytes` to `path` (temporary file, flush, replace) and hashes `table` (the whole
// table the bytes were made from) on the writer thread. Only when writer_idle().
void writer_submit(const std::string& path, std::string bytes, const void* table, size_t table_size);
// True when no job is queued or being written and no result is waiting to be taken.
bool writer_idle();
// The finished job's outcome, once; false while it is still being written or there is none.
bool writer_take_result(WriteResult& result);
// Blocks until the job handed over is finished (its result is left to take).
void writer_wait();

}  // namespace animals
