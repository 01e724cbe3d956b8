// The mod's log: printf-style lines, at most 1021 characters and always ending in a newline,
// handed whole to one sink. Safe from the game thread and the sync worker at once.
#pragma once

namespace ModLog {

using Sink = void (*)(const char* line);

void log(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Null selects the standard-error sink.
void set_log_sink(Sink sink);
void set_log_enabled(bool enabled);

void stderr_sink(const char* line);
// Through the game's debug print routine, which adds "[velmora] ".
void game_sink(const char* line);

// Back to the state of a freshly loaded library: enabled, standard error.
void reset();

}  // namespace ModLog
