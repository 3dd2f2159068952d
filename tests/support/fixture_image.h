// tests/support/fixture_image.h - images, partitions and layouts that
// the simulated phone accepts, for the tests on the phone and those that
// boot phones from the host alike.
#pragma once

#include "rom_builder.h"

#include <map>
#include <string>
#include <vector>

// An image description this phone accepts (model 59, match identifier 3,
// ROM version 2.150.8.0), with no partitions yet.
rom_image_desc fixture_image();
// `n` bytes of partition data that differ from those of another seed.
std::vector<unsigned char> fixture_data(size_t n, unsigned char seed);
// A special partition of `type` (1 an upgrader program, 2 a layout, 3 a
// configuration change) holding `text`.
rom_partition_desc fixture_special(unsigned int type, const std::string& text);
// The phone's default layout as /tmp/mtd.conf text, with the ranges of
// `changes` instead, and only its first `keys` keys (ten make a layout).
std::string fixture_layout(const std::map<int, std::string>& changes = {}, int keys = 10);
// The layout in which mtd6 gives up its end and mtd3 and mtd4 move there.
std::string fixture_moving_layout();
// A flash partition for mtd `id` holding `data`.
rom_partition_desc fixture_partition(unsigned int id, const std::string& version,
                                     std::vector<unsigned char> data);
