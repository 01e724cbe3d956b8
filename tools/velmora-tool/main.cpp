// velmora-tool: the command line for players and server developers.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/config.h"
#include "host/version.h"
#include "sim/garden.h"
#include "sim/sim.h"
#include "snapshot/json_writer.h"
#include "snapshot/scanner.h"

// tools/velmora-tool/parse_commands.cpp
int parse_commands_file(const std::string& path);
int run_demo(const std::vector<std::string>& args);

namespace {

int usage() {
    fputs(
        "usage:\n"
        "  velmora-tool check-config FOLDER\n"
        "      Read FOLDER/config.ini as the mod would and print the settings it gets.\n"
        "      Exit status 0 when the configuration is valid, 1 when not.\n"
        "  velmora-tool start FOLDER [--frames N] [--helper-version V] [--no-path]\n"
        "      Start the mod from FOLDER in the simulated game and run N frames (default 1),\n"
        "      printing the log, message boxes and on-screen lines.\n"
        "  velmora-tool parse-commands FILE\n"
        "      Read a command document as the mod would and print one JSON line per command.\n"
        "      Exit status 0 for a command document, 1 when FILE is not one.\n"
        "  velmora-tool demo [--out FOLDER] [--source FOLDER]\n"
        "      Start the reference server, write a mod folder for it and play the sample garden\n"
        "      in the simulated game; leaves everything in FOLDER (default velmora-demo).\n"
        "  velmora-tool snapshot [--garden FILE | --save FILE]\n"
        "      Print the full snapshot document the mod would upload for the sample garden,\n"
        "      a garden description file, or a garden save file.\n",
        stderr);
    return 2;
}

std::string config_json(const SyncConfig& c) {
    JsonWriter w;
    w.begin_object();
    w.key_string("BaseUrl", c.BaseUrl);
    w.key_string("ServerHost", c.ServerHost);
    w.key_int("ServerPort", c.ServerPort);
    w.key_bool("UseHttps", c.UseHttps);
    w.key_string("base_path", c.base_path);
    w.key_string("SyncPath", c.SyncPath);
    w.key_bool("valid", c.valid);
    w.key_string("error", c.error);
    w.key_int("SaveSlot", c.SaveSlot);
    w.key_string("ApiKey", MaskApiKey(c.ApiKey));
    w.key_int("ScanIntervalFrames", c.ScanIntervalFrames);
    w.key_int("FullResyncSeconds", c.FullResyncSeconds);
    w.key_bool("EnableWriteback", c.EnableWriteback);
    w.key_bool("EnableRestoreOnLaunch", c.EnableRestoreOnLaunch);
    w.key_bool("DisableNaturalDeath", c.DisableNaturalDeath);
    w.key_bool("ShowCareWarnings", c.ShowCareWarnings);
    w.key_bool("KeepGardenAnimals", c.KeepGardenAnimals);
    w.key_string("CommandPath", c.CommandPath);
    w.key_int("CommandPollSeconds", c.CommandPollSeconds);
    w.key_bool("DumpPayloads", c.DumpPayloads);
    w.key_bool("Verbose", c.Verbose);
    w.end_object();
    return w.take_text();
}

int check_config(const std::string& folder) {
    SyncConfig c = LoadConfig(folder);
    printf("%s\n", config_json(c).c_str());
    return c.valid ? 0 : 1;
}

std::string escape_newlines(const std::string& s) {
    std::string out;
    for (char ch : s) {
        if (ch == '\n') out += "\\n";
        else out += ch;
    }
    return out;
}

bool read_number(const char* text, long& out) {
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (!end || *end || end == text) return false;
    out = v;
    return true;
}

int start(const std::vector<std::string>& args) {
    if (args.empty()) return usage();
    std::string folder = args[0];
    long frames = 1, version = 8;
    bool no_path = false;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--no-path") no_path = true;
        else if (args[i] == "--frames" && i + 1 < args.size() && read_number(args[i + 1].c_str(), frames) && frames >= 0) ++i;
        else if (args[i] == "--helper-version" && i + 1 < args.size() && read_number(args[i + 1].c_str(), version)) ++i;
        else return usage();
    }
    sim::reset();
    sim::Recording& rec = sim::recording();
    rec.on_debug_line = [](const std::string& line) { fputs(line.c_str(), stdout); };
    rec.on_box = [](const sim::BoxShown& box) {
        printf("BOX %s | %s\n", box.title.c_str(), escape_newlines(box.text).c_str());
    };
    rec.on_screen = [](const sim::ScreenLine& line) {
        printf("SCREEN %llu %x %s\n", static_cast<unsigned long long>(line.frame),
               static_cast<unsigned>(line.position), line.text.c_str());
    };
    sim::load(no_path ? nullptr : folder.c_str(), static_cast<int32_t>(version));
    for (long f = 0; f < frames; ++f) sim::frame();
    sim::unload();
    fflush(stdout);
    return 0;
}

int snapshot(const std::vector<std::string>& args) {
    std::string garden_file, save_file;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--garden" && i + 1 < args.size() && garden_file.empty() && save_file.empty()) garden_file = args[++i];
        else if (args[i] == "--save" && i + 1 < args.size() && garden_file.empty() && save_file.empty()) save_file = args[++i];
        else return usage();
    }
    sim::reset();
    std::string error;
    bool from_save = !save_file.empty();
    if (from_save) {
        FILE* f = fopen(save_file.c_str(), "rb");
        if (!f) {
            fprintf(stderr, "snapshot: cannot open %s\n", save_file.c_str());
            return 1;
        }
        std::string bytes;
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0 && bytes.size() <= sim::kGardenSaveSize) bytes.append(buf, n);
        fclose(f);
        if (!sim::load_garden_save(bytes, error)) {
            fprintf(stderr, "snapshot: %s: %s\n", save_file.c_str(), error.c_str());
            return 1;
        }
    } else if (!garden_file.empty()) {
        if (!sim::load_garden_file(garden_file, error)) {
            fprintf(stderr, "snapshot: %s\n", error.c_str());
            return 1;
        }
    } else if (!sim::build_garden(sim::sample_garden(), error)) {
        fprintf(stderr, "snapshot: sample garden: %s\n", error.c_str());
        return 1;
    }

    // The scan a freshly opened session makes, with a fixed session id so that the output of
    // one garden is always the same text.
    GardenScanner scanner;
    scanner.begin_session("0000000000000000", kModReleaseVersion, 60);
    GardenContext context = read_garden_context();
    if (from_save) {
        // A save file holds no progress and no player: those stay unknown.
        context.rings = -1;
        context.emblems = -1;
    }
    feed_scanner(scanner, context, "");
    ScanResult r = scan_garden(scanner, sim::now_ms());
    if (!r.produced) {
        fputs("snapshot: no document was produced\n", stderr);
        return 1;
    }
    printf("%s\n", r.payload.c_str());
    fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "check-config" && args.size() == 1) return check_config(args[0]);
    if (command == "start") return start(args);
    if (command == "parse-commands" && args.size() == 1) return parse_commands_file(args[0]);
    if (command == "snapshot") return snapshot(args);
    if (command == "demo") return run_demo(args);
    return usage();
}
