// sim/frames.cpp - framebuffer decoding and PNG frames.
#include "frames.h"

#include "layout.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

screen decode_framebuffer(const std::vector<uint8_t>& fb)
{
    screen s;
    const size_t pixels = size_t{phone::kLcdWidth} * phone::kLcdHeight;
    if (fb.size() != phone::kFbSize16 && fb.size() != phone::kFbSize4) return s;
    s.width = phone::kLcdWidth;
    s.height = phone::kLcdHeight;
    s.grey.resize(pixels);
    const bool wide = fb.size() == phone::kFbSize16;
    for (size_t i = 0; i < pixels; ++i) {
        if (wide) {
            s.grey[i] = fb[2 * i];
        } else {
            const uint8_t b = fb[i / 2];
            const uint8_t nibble = (i % 2 == 0) ? (b & 0x0F) : (b >> 4);
            s.grey[i] = static_cast<uint8_t>(nibble * 17);
        }
    }
    return s;
}

bool write_png(const std::string& path, const screen& s)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, static_cast<png_uint_32>(s.width), static_cast<png_uint_32>(s.height),
                 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < s.height; ++y)
        png_write_row(png, s.grey.data() + static_cast<size_t>(y) * static_cast<size_t>(s.width));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return fclose(f) == 0;
}

bool read_png(const std::string& path, screen* s)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return false;
    image.format = PNG_FORMAT_GRAY;
    s->width = static_cast<int>(image.width);
    s->height = static_cast<int>(image.height);
    s->grey.assign(PNG_IMAGE_SIZE(image), 0);
    if (png_image_finish_read(&image, nullptr, s->grey.data(), 0, nullptr) == 0) {
        png_image_free(&image);
        return false;
    }
    return true;
}

namespace {

// The whole file into `out`, at most 1 MiB (a framebuffer is far less).
bool read_whole(const std::string& path, std::vector<uint8_t>* out)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    const bool sized = fstat(fd, &st) == 0 && st.st_size >= 0 && st.st_size <= (1 << 20);
    out->resize(sized ? static_cast<size_t>(st.st_size) : 0);
    size_t at = 0;
    while (at < out->size()) {
        const ssize_t n = read(fd, out->data() + at, out->size() - at);
        if (n <= 0) break;
        at += static_cast<size_t>(n);
    }
    out->resize(at);
    close(fd);
    return sized;
}

} // namespace

frame_recorder::~frame_recorder()
{
    if (log_ != nullptr) fclose(log_);
}

void frame_recorder::refresh(const std::string& framebuffer_path, int64_t t_ms)
{
    const auto started = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> hold(lock_);
    read_whole(framebuffer_path, &raw_);
    ++refreshes_;
    // Unchanged bytes are the same picture; changed bytes may still decode
    // to it (the second byte of a 16-bit pixel is not shown).
    const bool shown = raw_.size() == phone::kFbSize16 || raw_.size() == phone::kFbSize4;
    bool same = frames_ > 0 && raw_ == last_raw_;
    if (shown && !same) {
        screen s = decode_framebuffer(raw_);
        same = frames_ > 0 && s.grey == last_.grey;
        last_raw_ = raw_;
        if (!same) {
            ++frames_;
            last_ = std::move(s);
            mkdir((dir_ + "/frames").c_str(), 0755);
            char name[32];
            snprintf(name, sizeof name, "%04d.png", frames_);
            const std::string path = dir_ + "/frames/" + name;
            if (!write_png(path, last_))
                fprintf(stderr, "phonesim: %s: %s\n", path.c_str(), strerror(errno));
        }
    }
    if (log_ == nullptr) log_ = fopen((dir_ + "/frames.jsonl").c_str(), "ae");
    if (log_ != nullptr) {
        // What taking the picture cost the simulator, for benchmarks that
        // leave it out.
        const long long us = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now() - started)
                                 .count();
        fprintf(
            log_,
            "{\"t_ms\":%lld,\"refresh\":%d,\"frame\":%d,\"new\":%s,\"panel_bits\":%d,"
            "\"panel_us\":%lld}\n",
            static_cast<long long>(t_ms), refreshes_, frames_, (shown && !same) ? "true" : "false",
            raw_.size() == phone::kFbSize16 ? 16 : (raw_.size() == phone::kFbSize4 ? 4 : 0), us);
        fflush(log_);
    }
}

int frame_recorder::refreshes() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return refreshes_;
}

int frame_recorder::frames() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return frames_;
}
