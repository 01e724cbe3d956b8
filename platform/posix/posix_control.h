// What the driver of a Linux build (a test, the simulator, the tool) plugs into door 1:
// there is no desktop here, so message boxes, the shell and the clock are injected.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace platform::posix {

// Without a handler a box is printed to standard error and answered "OK"/"No".
void set_message_box_handler(std::function<int(const char* title, const char* text, uint32_t style)> handler);
void set_shell_open_handler(std::function<void(const char* address)> handler);
// Without a handler the process counts as the foreground window and no key is down.
void set_foreground_handler(std::function<bool()> handler);
void set_key_state_handler(std::function<bool(int virtual_key)> handler);
// Without a source, tick_ms() is the real monotonic clock.
void set_tick_source(std::function<uint64_t()> source);

// "folder\name" -> "folder/name".
std::string native_path(const std::string& path);

}  // namespace platform::posix
