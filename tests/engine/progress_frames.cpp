// tests/engine/progress_frames.cpp - reads the progress bar back from the
// simulated phone's frames.
#include "progress_frames.h"

#include "frames.h"
#include "phone.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

namespace {

int g_first_refresh = 0;

std::string run_dir()
{
    const char* run = std::getenv("PHONESIM_RUN");
    return phone_state_path(std::string("runs/") + (run != nullptr ? run : "1"));
}

std::vector<nlohmann::json> refreshes()
{
    std::vector<nlohmann::json> out;
    std::istringstream log(phone_read_file(run_dir() + "/frames.jsonl"));
    std::string line;
    while (std::getline(log, line))
        if (!line.empty()) out.push_back(nlohmann::json::parse(line));
    return out;
}

// The bar's width in a frame: black pixels of row 230 inside the track.
int bar_width(int frame)
{
    char name[32];
    std::snprintf(name, sizeof name, "/frames/%04d.png", frame);
    screen s;
    if (!read_png(run_dir() + name, &s) || s.width != 480) return -1;
    int w = 0;
    for (int x = 44; x < 440; ++x) w += s.grey[static_cast<size_t>(230 * s.width + x)] < 128;
    return w;
}

int percent_of(int width)
{
    for (int p = 0; p <= 100; ++p)
        if (p * 396 / 100 == width) return p;
    return -1;
}

} // namespace

std::vector<int> progress_recorded()
{
    std::vector<int> out;
    std::map<int, int> widths;
    const std::vector<nlohmann::json> all = refreshes();
    for (size_t i = static_cast<size_t>(g_first_refresh); i < all.size(); ++i) {
        const int frame = all[i]["frame"].get<int>();
        if (widths.count(frame) == 0) widths[frame] = bar_width(frame);
        out.push_back(percent_of(widths[frame]));
    }
    return out;
}

void progress_recorder_clear()
{
    g_first_refresh = static_cast<int>(refreshes().size());
}
