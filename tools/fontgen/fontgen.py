#!/usr/bin/env python3
"""Generates the status display's constant bitmaps from Terminus Font.

  tools/fontgen/fontgen.py [OUTPUT_DIR]      (default: display/)

Reads the Terminus console fonts of Debian's console-setup-linux package and
writes, byte for byte reproducibly:
  font_data.cpp        g_font_table: the 9486-byte font table (header, then
                       128 glyph records of 74 bytes: width, height, a 72-byte
                       bitmap, bit row * width + col, lowest bit first).
                       Codes 32..126 are Terminus 12x24; codes 0..31 are
                       24x24 frame pieces drawn here; 0, 9, 10, 13, 28..31,
                       32 and 127 are blank.
  upgrading_image.cpp  g_image_upgrading: the 480 x 272 progress-screen
                       background, "Upgrading" in Terminus Bold 32x16 whose
                       ink is scaled to fill rows 44..103 and columns
                       59..409, "Please wait..." in Terminus 24x12 whose ink
                       fills rows 130..152 and columns 138..334.
  FONT-LICENSE.txt     the font's copyright and licence, which travel with
                       the data.
"""
import gzip
import os
import sys

FONT_DIR = "/usr/share/consolefonts"
LICENCE = "/usr/share/doc/console-setup-linux/copyright.fonts.gz"


def load_psf2(name):
    """Glyphs of a PSF2 font by code point: {code: rows of bits (MSB left)}."""
    data = gzip.open(os.path.join(FONT_DIR, name)).read()
    if data[:4] != bytes([0x72, 0xB5, 0x4A, 0x86]):
        raise SystemExit(name + ": not a PSF2 font")
    words = [int.from_bytes(data[i:i + 4], "little") for i in range(4, 32, 4)]
    _, header_size, flags, count, char_size, height, width = words
    row_bytes = (width + 7) // 8
    glyphs = [data[header_size + i * char_size: header_size + (i + 1) * char_size]
              for i in range(count)]
    by_code = {}
    if flags & 1:
        table = data[header_size + count * char_size:]
        index, pos = 0, 0
        while index < count and pos < len(table):
            end = table.index(b"\xff", pos)
            text = table[pos:end]
            # Single code points come first; sequences after 0xFE are skipped.
            single = text.split(b"\xfe")[0].decode("utf-8", "replace")
            for ch in single:
                by_code.setdefault(ord(ch), index)
            index, pos = index + 1, end + 1
    else:
        by_code = {i: i for i in range(count)}

    def rows(code):
        g = glyphs[by_code[code]]
        out = []
        for r in range(height):
            line = g[r * row_bytes:(r + 1) * row_bytes]
            value = int.from_bytes(line, "big")
            out.append([(value >> (row_bytes * 8 - 1 - c)) & 1 for c in range(width)])
        return out

    return rows, width, height


def pack(pixels, width, height, size):
    """Bits row * width + col, lowest bit first, into `size` bytes."""
    out = bytearray(size)
    for r in range(height):
        for c in range(width):
            if pixels[r][c]:
                n = r * width + c
                out[n // 8] |= 1 << (n % 8)
    return bytes(out)


def frame_piece(code):
    """24 x 24 pieces of frames: lines, corners, tees and a cross."""
    grid = [[0] * 24 for _ in range(24)]
    mid = 11
    # Which arms (up, down, left, right) each code carries.
    arms = {
        1: "lr", 2: "ud", 3: "dr", 4: "dl", 5: "ur", 6: "ul", 7: "dlr", 8: "ulr",
        11: "udr", 12: "udl", 14: "udlr", 15: "u", 16: "d", 17: "l", 18: "r",
    }
    double = {19: "lr", 20: "ud", 21: "dr", 22: "dl", 23: "ur", 24: "ul", 25: "udlr",
              26: "dlr", 27: "ulr"}
    desc = arms.get(code) or double.get(code)
    if desc is None:
        return grid
    offsets = [0] if code in arms else [-2, 2]
    for d in offsets:
        line = mid + d
        for a in desc:
            if a == "u":
                for r in range(0, mid + 1):
                    grid[r][line] = 1
            if a == "d":
                for r in range(mid, 24):
                    grid[r][line] = 1
            if a == "l":
                for c in range(0, mid + 1):
                    grid[line][c] = 1
            if a == "r":
                for c in range(mid, 24):
                    grid[line][c] = 1
    return grid


def font_table():
    rows, width, height = load_psf2("Lat15-Terminus24x12.psf.gz")
    assert (width, height) == (12, 24)
    table = bytearray([0xE0, 0xE1, 0x25, 0x0E, 0x7B, 0xEC])
    table += (0).to_bytes(2, "big") + (127).to_bytes(2, "big")
    table += (74).to_bytes(2, "big") + (14).to_bytes(2, "big")
    blank = {0, 9, 10, 13, 28, 29, 30, 31, 32, 127}
    for code in range(128):
        if code < 32:
            w = h = 24
            pixels = [[0] * 24 for _ in range(24)] if code in blank else frame_piece(code)
        else:
            w, h = 12, 24
            pixels = [[0] * 12 for _ in range(24)] if code in blank else rows(code)
        table += bytes([w, h]) + pack(pixels, w, h, 72)
    assert len(table) == 9486
    return bytes(table)


def draw_text(screen, text, font, scale, x0, y0):
    rows, width, height = load_psf2(font)
    for i, ch in enumerate(text):
        glyph = rows(ord(ch))
        for r in range(height):
            for c in range(width):
                if glyph[r][c]:
                    for dy in range(scale):
                        for dx in range(scale):
                            screen[y0 + r * scale + dy][x0 + (i * width + c) * scale + dx] = 1
    return width * scale * len(text), height * scale


def fitted(screen, text, font, box):
    """Draws `text` so that its ink covers `box` exactly: the text at its
    own size, then its ink's bounding box scaled (nearest pixel) onto the box."""
    left, top, right, bottom = box
    _, width, height = load_psf2(font)
    canvas = [[0] * (width * len(text)) for _ in range(height)]
    draw_text(canvas, text, font, 1, 0, 0)
    ink_rows = [r for r in range(height) if any(canvas[r])]
    ink_cols = [c for c in range(width * len(text)) if any(canvas[r][c] for r in range(height))]
    r0, c0 = ink_rows[0], ink_cols[0]
    ink_h, ink_w = ink_rows[-1] - r0 + 1, ink_cols[-1] - c0 + 1
    box_h, box_w = bottom - top + 1, right - left + 1
    assert box_w >= ink_w and box_h >= ink_h, text
    for y in range(box_h):
        for x in range(box_w):
            if canvas[r0 + y * ink_h // box_h][c0 + x * ink_w // box_w]:
                screen[top + y][left + x] = 1


def upgrading_image():
    screen = [[0] * 480 for _ in range(272)]
    fitted(screen, "Upgrading", "Lat15-TerminusBold32x16.psf.gz", (59, 44, 409, 103))
    fitted(screen, "Please wait...", "Lat15-Terminus24x12.psf.gz", (138, 130, 334, 152))
    return pack(screen, 480, 272, 16320)


def cpp_array(name, data, comment):
    lines = ["// Generated by tools/fontgen/fontgen.py from Terminus Font; do not edit.",
             "// " + comment, "// The font's licence: FONT-LICENSE.txt beside this file.",
             "// clang-format off", "#include <cstdint>", "",
             "extern const std::uint8_t %s[%d];" % (name, len(data)),
             "const std::uint8_t %s[%d] = {" % (name, len(data))]
    for i in range(0, len(data), 16):
        lines.append("    " + ", ".join("0x%02X" % b for b in data[i:i + 16]) + ",")
    lines.append("};")
    return "\n".join(lines) + "\n"


def licence_text():
    text = gzip.open(LICENCE).read().decode("utf-8")
    start = text.index("Terminus Font is licensed")
    end = text.find("\n\n\n", start)
    body = text[start:end if end > 0 else len(text)].rstrip()
    return ("The glyphs in font_data.cpp and the lettering in upgrading_image.cpp are\n"
            "taken from Terminus Font (Debian package console-setup-linux).\n\n" + body + "\n")


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "display"
    with open(os.path.join(out, "font_data.cpp"), "w") as f:
        f.write(cpp_array("g_font_table", font_table(),
                          "The 12 x 24 font table: header and 128 glyph records."))
    with open(os.path.join(out, "upgrading_image.cpp"), "w") as f:
        f.write(cpp_array("g_image_upgrading", upgrading_image(),
                          "The progress screen's background, 480 x 272, one bit per pixel."))
    with open(os.path.join(out, "FONT-LICENSE.txt"), "w") as f:
        f.write(licence_text())


if __name__ == "__main__":
    main()
