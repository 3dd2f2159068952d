// tools/rom_manifest.h - ROM image descriptions in JSON, as mkrom reads them.
//
//   {
//     "header": { "rom_type": 0, "process_type": 0, "device_id": 55,
//                 "oem_id": 1, "rom_version": "1.145.6.100",
//                 "match_id": [0, 3], "mid_version": 0, "sw_protect": 0,
//                 "scrambled": true, "key": 37 },
//     "partitions": [
//       { "id": 1, "type": 0, "version": "2.0.0.1", "process_type": 0,
//         "data_type": 0, "file": "kernel.bin" },
//       { "id": 255, "type": 2, "text": "[mtd]\n..." } ],
//     "break": [ "part-checksum:1" ]
//   }
//
// Numbers are JSON integers or strings ("0x1F" or decimal); versions are
// "a.b.c.d" strings or numbers. Every key is optional; unknown keys are
// refused, so a typing error cannot pass unnoticed. A partition's data is
// a "file" (relative to the manifest's folder), an inline "text", or
// empty. "break" lists faults in the form of rom_apply_fault().
#pragma once

#include "rom_builder.h"

#include <nlohmann/json.hpp>

#include <string>

// The image description that `manifest` gives; files are read relative to
// `base_dir`.
// Throws std::invalid_argument (with what is wrong and where) or
// std::runtime_error (a data file that cannot be read).
rom_image_desc rom_desc_from_json(const nlohmann::json& manifest, const std::string& base_dir);

// Reads the JSON manifest at `path`.
rom_image_desc rom_desc_from_file(const std::string& path);

// One option string "id=1,type=0,version=2.0.0.1,process_type=0,
// data_type=0,file=PATH" (or text=...) as a partition; file last, since a
// path may hold commas.
rom_partition_desc rom_partition_from_text(const std::string& text);

// The whole content of a file; throws std::runtime_error.
std::vector<unsigned char> rom_read_file(const std::string& path);
// Writes `bytes` to `path`; throws std::runtime_error.
void rom_write_file(const std::string& path, const std::vector<unsigned char>& bytes);
