// tools/mkrom.cpp - builds a ROM image from a manifest or from options.
//
//   mkrom -o IMAGE MANIFEST.json
//   mkrom -o IMAGE --device-id 55 --rom-version 1.145.6.100 --match-id 3
//         --part id=1,type=0,version=2.0.0.1,file=kernel.bin ...
//   mkrom ... --break part-checksum:0          (a deliberately broken image)
#include "rom_builder.h"
#include "rom_manifest.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <stdexcept>

int main(int argc, char** argv)
{
    CLI::App app{"Builds a ROM image for the phone's upgrader.\n"
                 "The header is scrambled (rom_header_size 128, with a key byte) unless --plain\n"
                 "asks for the plain form (size 124). Partition data is aligned to 4 bytes and\n"
                 "all three checksums are computed; --break spoils a chosen field afterwards."};
    std::string output, manifest;
    std::vector<std::string> parts, faults, match;
    rom_image_desc cli;
    std::string rom_version = "0.0.0.0";
    bool plain = false;
    unsigned int key = 37;
    app.add_option("-o,--output", output, "the image to write")->required();
    app.add_option("manifest", manifest,
                   "JSON manifest: {\"header\": {...}, \"partitions\": [...], \"break\": [...]}; "
                   "header keys rom_type, process_type, device_id, oem_id, rom_version, "
                   "match_id, mid_version, sw_protect, scrambled, key; partition keys id, type, "
                   "version, process_type, data_type, and file or text");
    app.add_option("--rom-type", cli.rom_type, "rom_type (logged only)");
    app.add_option("--process-type", cli.process_type, "1: force the upgrade of every partition");
    app.add_option("--device-id", cli.device_id, "device_id: the hardware model it is for");
    app.add_option("--oem-id", cli.oem_id, "oem_id");
    app.add_option("--rom-version", rom_version, "rom_version as a.b.c.d");
    app.add_option("--match-id", match, "a match identifier (0..15) the image accepts; repeat");
    app.add_option("--mid-version", cli.mid_version, "mid_version");
    app.add_option("--sw-protect", cli.sw_protect, "sw_protect");
    app.add_flag("--plain", plain, "plain header (size 124) instead of the scrambled one");
    app.add_option("--key", key, "key byte of the scrambled header (rotation count)");
    app.add_option("--part", parts,
                   "a partition: id=N,type=T,version=a.b.c.d,process_type=P,data_type=D,"
                   "file=PATH (or text=TEXT); type 0 is flash (id 0..9), ids from 255 are "
                   "special: type 1 upgrader program, 2 MTD layout, 3 configuration change");
    app.add_option("--break", faults, std::string("a fault to build in:\n") + rom_fault_help());
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help prints and succeeds; any other parse error is a usage error.
        return app.exit(e) == 0 ? 0 : 2;
    }

    try {
        rom_image_desc desc;
        if (!manifest.empty()) {
            desc = rom_desc_from_file(manifest);
        } else {
            desc = cli;
            desc.rom_version = rom_version_from_text(rom_version);
            desc.scrambled = !plain;
            desc.key = static_cast<unsigned char>(key);
            for (size_t i = 0; i < match.size() && i < desc.match_id.size(); ++i)
                desc.match_id[i] = static_cast<unsigned char>(rom_number_from_text(match[i]));
            for (const auto& p : parts) desc.partitions.push_back(rom_partition_from_text(p));
        }
        for (const auto& f : faults) rom_apply_fault(desc, f);
        const std::vector<unsigned char> image = rom_build(desc);
        rom_write_file(output, image);
        std::printf("%s: %zu bytes, %zu partitions\n", output.c_str(), image.size(),
                    desc.partitions.size());
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "mkrom: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mkrom: %s\n", e.what());
        return 1;
    }
    return 0;
}
