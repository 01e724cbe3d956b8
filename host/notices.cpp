#include "host/notices.h"

#include <atomic>

#include "platform/platform.h"

const char* const kDownloadPage = "https://velmora.example/download";

namespace {

struct Box {
    const char* title;
    const char* text;
    uint32_t style;
};

constexpr Box kBoxes[] = {
    {"Velmora - animal inventory unavailable",
     "Animal persistence could not be verified. Check for conflicting animal mods and restart SA2. "
     "The original animal rules still apply.",
     platform::kBoxOkWarning},
    {"Velmora - lifespan protection unavailable",
     "Chao lifespan protection could not be installed. Do not enter a garden: natural death and "
     "reincarnation may still happen. Check for conflicting Chao lifecycle mods and restart SA2. Your "
     "save has not been modified by this patch.",
     platform::kBoxOkError},
    {"Velmora - lifespan protection lost",
     "Another mod replaced Chao lifespan protection. Leave the garden and restart SA2 after disabling "
     "the conflicting lifecycle mod. Natural death and reincarnation are no longer confirmed disabled.",
     platform::kBoxOkError},
    {"Velmora - rebirth paused",
     "Manual rebirth protection was replaced by another mod. Any pending cocoon is paused. Leave the "
     "garden and restart without conflicting lifecycle mods.",
     platform::kBoxOkError},
    {"Velmora update required",
     "This version of Velmora is no longer compatible with the server.\n\nGarden data will not be "
     "uploaded. Update the mod before continuing.\n\nOpen the latest download page now?",
     platform::kBoxYesNoWarningForeground},
};
constexpr int kBoxCount = sizeof kBoxes / sizeof kBoxes[0];

std::atomic<bool> g_shown[kBoxCount];

}  // namespace

int show_notice(Notice notice) {
    int index = static_cast<int>(notice);
    if (index < 0 || index >= kBoxCount) return 0;
    if (g_shown[index].exchange(true)) return 0;
    const Box& box = kBoxes[index];
    int answer = platform::message_box(box.title, box.text, box.style);
    if (notice == Notice::UpdateRequired && answer == platform::kAnswerYes) platform::shell_open(kDownloadPage);
    return answer;
}

void reset_notices() {
    for (auto& shown : g_shown) shown.store(false);
}

void show_screen_line(ScreenTextFn screen_text, int line, const char* text) {
    if (screen_text) screen_text(0x10000 + line, text);
}
