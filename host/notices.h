// The player notices: five modal message boxes, each at most once per run, and the
// on-screen lines drawn through the loader's text function.
#pragma once
#include <cstdint>

using ScreenTextFn = void (*)(int32_t position, const char* text);

enum class Notice {
    AnimalInventoryUnavailable,
    LifespanProtectionUnavailable,
    LifespanProtectionLost,
    RebirthPaused,
    UpdateRequired,
};

// Shows the box unless it was shown before in this run; returns the answer, or 0 when the
// box was not shown again. The update box opens the download page on "Yes".
int show_notice(Notice notice);
void reset_notices();

extern const char* const kDownloadPage;

// One on-screen line (position code 0x10000 + line) for this frame; nothing without a function.
void show_screen_line(ScreenTextFn screen_text, int line, const char* text);
