// sim/frames.h - the LCD's pictures, taken from the framebuffer at every
// refresh and kept as numbered PNG files of a run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

// A decoded screen: 480 x 272 grey levels, 0 black .. 255 white.
struct screen {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> grey;
};

// Decodes framebuffer bytes: 2 bytes per pixel (first byte is the grey
// level) when the size is 261120, 4 bits per pixel (even pixel in the low
// nibble) when it is 65280. Other sizes give an empty screen.
screen decode_framebuffer(const std::vector<uint8_t>& fb);

bool write_png(const std::string& path, const screen& s);
bool read_png(const std::string& path, screen* s);

// Takes frames for one run: a frame that equals the one before is not
// stored again, only counted. A picture is on disk when refresh() returns.
class frame_recorder {
public:
    explicit frame_recorder(std::string run_dir) : dir_(std::move(run_dir)) {}
    ~frame_recorder();
    frame_recorder(const frame_recorder&) = delete;
    frame_recorder& operator=(const frame_recorder&) = delete;

    // Reads the framebuffer file and records one refresh.
    void refresh(const std::string& framebuffer_path, int64_t t_ms);
    int refreshes() const;
    int frames() const;

private:
    mutable std::mutex lock_;
    std::string dir_;
    std::vector<uint8_t> raw_;      // the framebuffer as last read
    std::vector<uint8_t> last_raw_; // ... and as it was when last decoded
    screen last_;
    int refreshes_ = 0;
    int frames_ = 0;
    FILE* log_ = nullptr;
};
