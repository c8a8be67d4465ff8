#pragma once
// This test program's own image as the loader sees it: its load address and its GNU build id,
// found independently of the engine's image reader.

#include <elf.h>
#include <link.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace quorvane::test {

struct MainImage {
    uint64_t base = 0;
    std::string buildId;
};

inline MainImage mainImage() {
    MainImage out;
    ::dl_iterate_phdr(
        [](struct dl_phdr_info* info, size_t, void* data) {
            if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') return 0;
            auto* image = static_cast<MainImage*>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const auto& ph = info->dlpi_phdr[i];
                if (ph.p_type == PT_LOAD && ph.p_offset == 0 && image->base == 0) image->base = info->dlpi_addr + ph.p_vaddr;
                if (ph.p_type != PT_NOTE) continue;
                const auto* p = reinterpret_cast<const uint8_t*>(info->dlpi_addr + ph.p_vaddr);
                const auto* end = p + ph.p_memsz;
                while (p + sizeof(Elf64_Nhdr) <= end) {
                    const auto* note = reinterpret_cast<const Elf64_Nhdr*>(p);
                    const uint8_t* name = p + sizeof(Elf64_Nhdr);
                    const uint8_t* desc = name + ((note->n_namesz + 3) & ~3u);
                    if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0) {
                        image->buildId.assign(reinterpret_cast<const char*>(desc), note->n_descsz);
                    }
                    p = desc + ((note->n_descsz + 3) & ~3u);
                }
            }
            return 1;
        },
        &out);
    return out;
}

}  // namespace quorvane::test
