#include "crashreporter/capture/QVCrashAsyncImage.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "crashreporter/capture/QVCrashAsyncMachOFile.h"
#include "platform/crash/TaskMapping.h"
#include "platform/crash/TaskMemory.h"

namespace quorvane {

namespace {

const char* nameOf(const qvcrash_async_macho_t* image) { return image->name != nullptr ? image->name : ""; }

// The ELF header in host order (fields used by the reader only).
uint16_t e16(const qvcrash_async_macho_t* image, uint16_t v) { return image->byteorder->swap16(v); }
uint32_t e32(const qvcrash_async_macho_t* image, uint32_t v) { return image->byteorder->swap32(v); }
uint64_t e64(const qvcrash_async_macho_t* image, uint64_t v) { return image->byteorder->swap64(v); }

void convertPhdr(const qvcrash_async_macho_t* image, const Elf64_Phdr& in, Elf64_Phdr* out) {
    out->p_type = e32(image, in.p_type);
    out->p_flags = e32(image, in.p_flags);
    out->p_offset = e64(image, in.p_offset);
    out->p_vaddr = e64(image, in.p_vaddr);
    out->p_paddr = e64(image, in.p_paddr);
    out->p_filesz = e64(image, in.p_filesz);
    out->p_memsz = e64(image, in.p_memsz);
    out->p_align = e64(image, in.p_align);
}

void convertShdr(const qvcrash_async_macho_t* image, const Elf64_Shdr& in, Elf64_Shdr* out) {
    out->sh_name = e32(image, in.sh_name);
    out->sh_type = e32(image, in.sh_type);
    out->sh_flags = e64(image, in.sh_flags);
    out->sh_addr = e64(image, in.sh_addr);
    out->sh_offset = e64(image, in.sh_offset);
    out->sh_size = e64(image, in.sh_size);
    out->sh_link = e32(image, in.sh_link);
    out->sh_info = e32(image, in.sh_info);
    out->sh_addralign = e64(image, in.sh_addralign);
    out->sh_entsize = e64(image, in.sh_entsize);
}

// Maps the image's file read-only when its ELF header is the loaded one; otherwise leaves none.
void mapImageFile(qvcrash_async_macho_t* image) {
    image->file_map = nullptr;
    image->file_size = 0;
    // A path, absolute or relative to the working directory the image was loaded from (this
    // runs when the image is listed, right after it was loaded); a bare name such as the vDSO's
    // is no file.
    if (image->name == nullptr || std::strchr(image->name, '/') == nullptr) return;
    int fd = ::open(image->name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(sizeof(Elf64_Ehdr))) {
        ::close(fd);
        return;
    }
    void* map = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) return;
    // Read the header through a safe copy: the file may have shrunk since fstat.
    Elf64_Ehdr fileHeader;
    if (MSqvcrash_async_task_memcpy(quorvane::platform::crash::taskSelf(), reinterpret_cast<uintptr_t>(map), 0,
                                    &fileHeader, sizeof(fileHeader)) != QVCRASH_ESUCCESS ||
        std::memcmp(&fileHeader, &image->header, sizeof(fileHeader)) != 0) {
        // Not the file that was loaded (replaced on disk, or a name that is not a file path).
        ::munmap(map, static_cast<size_t>(st.st_size));
        return;
    }
    image->file_map = map;
    image->file_size = static_cast<uint64_t>(st.st_size);
}

}  // namespace

qvcrash_error_t MSqvcrash_nasync_macho_init(qvcrash_async_macho_t* image, qvcrash_task_t task, const char* name,
                                            uint64_t header_addr) {
    image->task = task;
    image->header_addr = header_addr;
    image->name = ::strdup(name != nullptr ? name : "");
    image->list_node.store(nullptr, std::memory_order_relaxed);
    image->file_map = nullptr;
    image->file_size = 0;
    image->load_cmds = {};
    image->cfi_state.store(0, std::memory_order_relaxed);
    image->cfi_has_hdr = false;
    image->cfi_debug_frame = false;
    image->cfi_hdr = {};
    image->cfi_section = {};
    image->format = QVCRASH_IMAGE_FORMAT_ELF;
    image->macho_header = {};

    auto fail = [image](qvcrash_error_t err) {
        std::free(image->name);
        image->name = nullptr;
        return err;
    };

    uint32_t magic = 0;
    if (MSqvcrash_async_task_memcpy(task, header_addr, 0, &magic, sizeof(magic)) == QVCRASH_ESUCCESS &&
        qvcrash_macho_is_magic(magic)) {
        qvcrash_error_t err = qvcrash_nasync_macho_file_init(image);
        return err == QVCRASH_ESUCCESS ? err : fail(err);
    }

    qvcrash_error_t err = MSqvcrash_async_task_memcpy(task, header_addr, 0, &image->header, sizeof(image->header));
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("Failed to read ELF header from 0x%llx for image %s, ret=%d", (unsigned long long)header_addr,
                      nameOf(image), (int)err);
        return fail(QVCRASH_EINTERNAL);
    }

    const unsigned char* ident = image->header.e_ident;
    if (ident[EI_MAG0] != ELFMAG0 || ident[EI_MAG1] != ELFMAG1 || ident[EI_MAG2] != ELFMAG2 ||
        ident[EI_MAG3] != ELFMAG3) {
        uint32_t magic;
        std::memcpy(&magic, ident, sizeof(magic));
        QVCRASH_DEBUG("Unknown ELF magic: 0x%x in: %s", magic, nameOf(image));
        return fail(QVCRASH_EINVAL);
    }
    if (ident[EI_CLASS] != ELFCLASS64) {
        QVCRASH_DEBUG("%s called with an unsupported ELF class %d in: %s", "MSqvcrash_nasync_macho_init",
                      (int)ident[EI_CLASS], nameOf(image));
        return fail(QVCRASH_EINVAL);
    }
    image->m64 = true;
    const bool littleHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    if (ident[EI_DATA] == ELFDATA2LSB) {
        image->byteorder = littleHost ? MSqvcrash_async_byteorder_direct() : MSqvcrash_async_byteorder_swapped();
    } else if (ident[EI_DATA] == ELFDATA2MSB) {
        image->byteorder = littleHost ? MSqvcrash_async_byteorder_swapped() : MSqvcrash_async_byteorder_direct();
    } else {
        QVCRASH_DEBUG("Unknown ELF data encoding %d in: %s", (int)ident[EI_DATA], nameOf(image));
        return fail(QVCRASH_EINVAL);
    }
    image->header_size = sizeof(Elf64_Ehdr);
    image->ncmds = e16(image, image->header.e_phnum);
    if (image->ncmds > 0 && e16(image, image->header.e_phentsize) != sizeof(Elf64_Phdr)) {
        QVCRASH_DEBUG("Unexpected program header size %u in: %s", (unsigned)e16(image, image->header.e_phentsize),
                      nameOf(image));
        return fail(QVCRASH_EINVAL);
    }

    // The program headers lie in the segment that holds the header, at their file offset.
    err = MSqvcrash_async_mobject_init(&image->load_cmds, task, header_addr + e64(image, image->header.e_phoff),
                                       static_cast<uint64_t>(image->ncmds) * sizeof(Elf64_Phdr), true);
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("Failed to map ELF program headers in image %s", nameOf(image));
        return fail(err);
    }

    bool haveText = false;
    uint64_t end = 0;
    for (const void* cmd = MSqvcrash_async_macho_find_command(image, PT_LOAD); cmd != nullptr;
         cmd = MSqvcrash_async_macho_next_command_type(image, cmd, PT_LOAD)) {
        Elf64_Phdr ph;
        if (!MSqvcrash_async_macho_read_segment(image, cmd, &ph)) break;
        if (ph.p_memsz > UINT64_MAX - ph.p_vaddr) {
            QVCRASH_DEBUG("A loadable segment leaves the address space in %s", nameOf(image));
            MSqvcrash_async_mobject_free(&image->load_cmds);
            return fail(QVCRASH_EINVAL);
        }
        if (!haveText && ph.p_offset == 0) {
            haveText = true;
            image->text_vmaddr = ph.p_vaddr;
            image->vmaddr_slide = header_addr - ph.p_vaddr;
        }
        if (ph.p_vaddr + ph.p_memsz > end) end = ph.p_vaddr + ph.p_memsz;
    }
    if (!haveText) {
        QVCRASH_DEBUG("Could not find the loadable segment holding the ELF header in %s", nameOf(image));
        MSqvcrash_async_mobject_free(&image->load_cmds);
        return fail(QVCRASH_EINVAL);
    }
    if (end - image->text_vmaddr > kQVCrashMaxImageExtent) {
        QVCRASH_DEBUG("Image %s claims an extent of 0x%llx bytes", nameOf(image),
                      (unsigned long long)(end - image->text_vmaddr));
        MSqvcrash_async_mobject_free(&image->load_cmds);
        return fail(QVCRASH_EINVAL);
    }
    image->text_size = end - image->text_vmaddr;
    mapImageFile(image);
    return QVCRASH_ESUCCESS;
}

void MSqvcrash_nasync_macho_free(qvcrash_async_macho_t* image) {
    std::free(image->name);
    image->name = nullptr;
    MSqvcrash_async_mobject_free(&image->load_cmds);
    if (image->cfi_state.load(std::memory_order_acquire) == 2) {
        MSqvcrash_async_mobject_free(&image->cfi_hdr);
        MSqvcrash_async_mobject_free(&image->cfi_section);
    }
    image->cfi_state.store(0, std::memory_order_relaxed);
    if (image->file_map != nullptr) ::munmap(const_cast<void*>(image->file_map), static_cast<size_t>(image->file_size));
    image->file_map = nullptr;
    image->file_size = 0;
}

bool MSqvcrash_async_macho_contains_address(const qvcrash_async_macho_t* image, uint64_t address) {
    return address >= image->header_addr && address - image->header_addr < image->text_size;
}

uint32_t MSqvcrash_async_macho_cpu_type(const qvcrash_async_macho_t* image) {
    if (MSqvcrash_async_macho_is_macho(image)) return e32(image, image->macho_header.cputype);
    return e16(image, image->header.e_machine);
}
uint32_t MSqvcrash_async_macho_cpu_subtype(const qvcrash_async_macho_t* image) {
    if (MSqvcrash_async_macho_is_macho(image)) return e32(image, image->macho_header.cpusubtype);
    return e32(image, image->header.e_flags);
}
const Elf64_Ehdr* MSqvcrash_async_macho_header(const qvcrash_async_macho_t* image) { return &image->header; }
uint32_t MSqvcrash_async_macho_header_size(const qvcrash_async_macho_t* image) { return image->header_size; }
const MSqvcrash_async_byteorder_t* MSqvcrash_async_macho_byteorder(const qvcrash_async_macho_t* image) {
    return image->byteorder;
}

// ---- program headers ----

const void* MSqvcrash_async_macho_next_command(const qvcrash_async_macho_t* image, const void* previous) {
    if (MSqvcrash_async_macho_is_macho(image)) return qvcrash_async_macho_file_next_command(image, previous);
    const qvcrash_async_mobject_t* cmds = &image->load_cmds;
    if (previous == nullptr) {
        if (image->ncmds == 0) return nullptr;
        return qvcrash_async_mobject_remap_address(cmds, cmds->task_address, 0, sizeof(Elf64_Phdr));
    }
    if (!MSqvcrash_async_mobject_verify_local_pointer(cmds, reinterpret_cast<uintptr_t>(previous), 0,
                                                      sizeof(Elf64_Phdr))) {
        QVCRASH_DEBUG("Failed to map program header at address %p in: %s", previous, nameOf(image));
        return nullptr;
    }
    uintptr_t next = reinterpret_cast<uintptr_t>(previous) + sizeof(Elf64_Phdr);
    if (next >= cmds->address + cmds->length) return nullptr;  // the normal end
    if (!MSqvcrash_async_mobject_verify_local_pointer(cmds, next, 0, sizeof(Elf64_Phdr))) {
        QVCRASH_DEBUG("Failed to map program header at address %p in: %s", reinterpret_cast<void*>(next), nameOf(image));
        return nullptr;
    }
    return reinterpret_cast<const void*>(next);
}

const void* MSqvcrash_async_macho_next_command_type(const qvcrash_async_macho_t* image, const void* previous,
                                                    uint32_t type) {
    if (MSqvcrash_async_macho_is_macho(image)) return qvcrash_async_macho_file_next_command_type(image, previous, type);
    for (const void* cmd = MSqvcrash_async_macho_next_command(image, previous); cmd != nullptr;
         cmd = MSqvcrash_async_macho_next_command(image, cmd)) {
        Elf64_Phdr ph;
        if (!MSqvcrash_async_macho_read_segment(image, cmd, &ph)) return nullptr;
        if (ph.p_type == type) return cmd;
    }
    return nullptr;
}

const void* MSqvcrash_async_macho_find_command(const qvcrash_async_macho_t* image, uint32_t type) {
    if (MSqvcrash_async_macho_is_macho(image)) return qvcrash_async_macho_file_find_command(image, type);
    return MSqvcrash_async_macho_next_command_type(image, nullptr, type);
}

bool MSqvcrash_async_macho_read_segment(const qvcrash_async_macho_t* image, const void* command, Elf64_Phdr* out) {
    if (command == nullptr || MSqvcrash_async_macho_is_macho(image) ||
        !MSqvcrash_async_mobject_verify_local_pointer(&image->load_cmds, reinterpret_cast<uintptr_t>(command), 0,
                                                      sizeof(Elf64_Phdr))) {
        return false;
    }
    Elf64_Phdr raw;
    qvcrash_async_memcpy(&raw, command, sizeof(raw));
    convertPhdr(image, raw, out);
    return true;
}

const void* MSqvcrash_async_macho_find_segment_cmd(const qvcrash_async_macho_t* image, uint32_t type) {
    return MSqvcrash_async_macho_find_command(image, type);
}

namespace {

// True when [address, address + length) lies inside the image's extent and is short enough to copy.
bool readableRange(const qvcrash_async_macho_t* image, uint64_t address, uint64_t length) {
    return length <= kQVCrashMaxImageRead && address >= image->header_addr &&
           address - image->header_addr <= image->text_size &&
           length <= image->text_size - (address - image->header_addr);
}

}  // namespace

qvcrash_error_t MSqvcrash_async_macho_map_memory(const qvcrash_async_macho_t* image, uint64_t address,
                                                 uint64_t length, bool require_full, qvcrash_async_mobject_t* mobj) {
    if (!readableRange(image, address, length)) {
        QVCRASH_DEBUG("Range 0x%llx + 0x%llx lies outside of image %s", (unsigned long long)address,
                      (unsigned long long)length, nameOf(image));
        return QVCRASH_EINVAL;
    }
    return MSqvcrash_async_mobject_init(mobj, image->task, address, length, require_full);
}

qvcrash_error_t MSqvcrash_async_macho_map_segment(const qvcrash_async_macho_t* image, uint32_t type,
                                                  qvcrash_async_macho_mapped_segment_t* segment) {
    Elf64_Phdr ph;
    if (!MSqvcrash_async_macho_read_segment(image, MSqvcrash_async_macho_find_segment_cmd(image, type), &ph)) {
        return QVCRASH_ENOTFOUND;
    }
    qvcrash_error_t err =
        MSqvcrash_async_macho_map_memory(image, ph.p_vaddr + image->vmaddr_slide, ph.p_memsz, false, &segment->mobj);
    if (err != QVCRASH_ESUCCESS) return err;
    segment->fileoff = ph.p_offset;
    segment->filesize = ph.p_filesz;
    return QVCRASH_ESUCCESS;
}

void MSqvcrash_async_macho_mapped_segment_free(qvcrash_async_macho_mapped_segment_t* segment) {
    MSqvcrash_async_mobject_free(&segment->mobj);
}

// ---- sections (from the file mapping) ----

namespace {

uint64_t fileAddress(const qvcrash_async_macho_t* image) { return reinterpret_cast<uintptr_t>(image->file_map); }

// Maps [offset, offset + size) of the file mapping; 5 when it lies outside the file.
qvcrash_error_t mapFileRange(const qvcrash_async_macho_t* image, uint64_t offset, uint64_t size,
                             qvcrash_async_mobject_t* mobj) {
    if (offset > image->file_size || size > image->file_size - offset) return QVCRASH_EINVAL;
    return MSqvcrash_async_mobject_init(mobj, quorvane::platform::crash::taskSelf(), fileAddress(image) + offset, size,
                                        true);
}

// Maps the section header table; 8 without one, 5 when it lies outside the file.
qvcrash_error_t mapSectionTable(const qvcrash_async_macho_t* image, qvcrash_async_mobject_t* table, uint16_t* count) {
    if (image->file_map == nullptr) return QVCRASH_ENOTFOUND;
    const uint64_t shoff = e64(image, image->header.e_shoff);
    *count = e16(image, image->header.e_shnum);
    if (shoff == 0 || *count == 0) return QVCRASH_ENOTFOUND;
    if (e16(image, image->header.e_shentsize) != sizeof(Elf64_Shdr)) return QVCRASH_EINVAL;
    return mapFileRange(image, shoff, static_cast<uint64_t>(*count) * sizeof(Elf64_Shdr), table);
}

bool readSection(const qvcrash_async_macho_t* image, const qvcrash_async_mobject_t* table, uint64_t index,
                 Elf64_Shdr* out) {
    const void* p = qvcrash_async_mobject_remap_address(table, table->task_address,
                                                        static_cast<int64_t>(index * sizeof(Elf64_Shdr)),
                                                        sizeof(Elf64_Shdr));
    if (p == nullptr) return false;
    Elf64_Shdr raw;
    qvcrash_async_memcpy(&raw, p, sizeof(raw));
    convertShdr(image, raw, out);
    return true;
}

// True when the NUL-terminated string at offset of the mapped string table equals wanted.
bool tableStringEquals(const qvcrash_async_mobject_t* strings, uint64_t offset, const char* wanted) {
    for (uint64_t i = 0;; ++i) {
        const char* c = static_cast<const char*>(
            qvcrash_async_mobject_remap_address(strings, strings->task_address, static_cast<int64_t>(offset + i), 1));
        if (c == nullptr) return false;
        if (*c != wanted[i]) return false;
        if (*c == '\0') return true;
    }
}

}  // namespace

qvcrash_error_t MSqvcrash_async_macho_map_section(const qvcrash_async_macho_t* image, const char* sectname,
                                                  qvcrash_async_mobject_t* mobj) {
    if (MSqvcrash_async_macho_is_macho(image)) return QVCRASH_ENOTFOUND;
    qvcrash_async_mobject_t table;
    uint16_t count = 0;
    qvcrash_error_t err = mapSectionTable(image, &table, &count);
    if (err != QVCRASH_ESUCCESS) {
        if (err != QVCRASH_ENOTFOUND) {
            QVCRASH_DEBUG("Section table entry outside of expected range; searching for (%s)", sectname);
            return QVCRASH_EINVAL;
        }
        return err;
    }

    Elf64_Shdr names;
    uint16_t namesIndex = e16(image, image->header.e_shstrndx);
    qvcrash_async_mobject_t nameTable;
    if (!readSection(image, &table, namesIndex, &names) ||
        mapFileRange(image, names.sh_offset, names.sh_size, &nameTable) != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("Section name table outside of expected range; searching for (%s)", sectname);
        MSqvcrash_async_mobject_free(&table);
        return QVCRASH_EINVAL;
    }

    err = QVCRASH_ENOTFOUND;
    for (uint16_t i = 1; i < count; ++i) {
        Elf64_Shdr sh;
        if (!readSection(image, &table, i, &sh)) {
            QVCRASH_DEBUG("Section table entry outside of expected range; searching for (%s)", sectname);
            err = QVCRASH_EINVAL;
            break;
        }
        if (!tableStringEquals(&nameTable, sh.sh_name, sectname)) continue;
        if ((sh.sh_flags & SHF_ALLOC) != 0 && sh.sh_addr != 0) {
            err = MSqvcrash_async_macho_map_memory(image, sh.sh_addr + image->vmaddr_slide, sh.sh_size, true, mobj);
        } else if (sh.sh_type == SHT_NOBITS) {
            err = QVCRASH_ENOTFOUND;  // nothing stored
        } else {
            err = mapFileRange(image, sh.sh_offset, sh.sh_size, mobj);
            if (err == QVCRASH_EINVAL) QVCRASH_DEBUG("Section %s lies outside of its file", sectname);
        }
        break;
    }
    MSqvcrash_async_mobject_free(&nameTable);
    MSqvcrash_async_mobject_free(&table);
    return err;
}

// ---- build id ----

qvcrash_error_t MSqvcrash_async_macho_find_uuid(const qvcrash_async_macho_t* image, uint8_t* buffer,
                                                size_t capacity, size_t* length) {
    if (MSqvcrash_async_macho_is_macho(image)) return qvcrash_async_macho_file_find_uuid(image, buffer, capacity, length);
    for (const void* cmd = MSqvcrash_async_macho_find_command(image, PT_NOTE); cmd != nullptr;
         cmd = MSqvcrash_async_macho_next_command_type(image, cmd, PT_NOTE)) {
        Elf64_Phdr ph;
        if (!MSqvcrash_async_macho_read_segment(image, cmd, &ph)) break;
        qvcrash_async_mobject_t notes;
        if (MSqvcrash_async_macho_map_memory(image, ph.p_vaddr + image->vmaddr_slide, ph.p_memsz, true, &notes) !=
            QVCRASH_ESUCCESS) {
            continue;
        }
        // Note entries: namesz, descsz, type, then name and descriptor, each padded to the
        // segment's alignment (4, or 8 for segments aligned to 8).
        const uint64_t align = ph.p_align == 8 ? 8 : 4;
        const uint64_t base = notes.task_address;
        uint64_t at = 0;
        bool found = false;
        while (!found && at + 12 <= notes.length) {
            uint32_t namesz, descsz, type;
            if (MSqvcrash_async_mobject_read_uint32(&notes, image->byteorder, base, (int64_t)at, &namesz) ||
                MSqvcrash_async_mobject_read_uint32(&notes, image->byteorder, base, (int64_t)at + 4, &descsz) ||
                MSqvcrash_async_mobject_read_uint32(&notes, image->byteorder, base, (int64_t)at + 8, &type)) {
                break;
            }
            const uint64_t nameAt = at + 12;
            const uint64_t descAt = nameAt + ((static_cast<uint64_t>(namesz) + align - 1) & ~(align - 1));
            const uint64_t nextAt = descAt + ((static_cast<uint64_t>(descsz) + align - 1) & ~(align - 1));
            const char* name = static_cast<const char*>(
                qvcrash_async_mobject_remap_address(&notes, base, (int64_t)nameAt, namesz));
            const uint8_t* desc = static_cast<const uint8_t*>(
                qvcrash_async_mobject_remap_address(&notes, base, (int64_t)descAt, descsz));
            if (name == nullptr || desc == nullptr) break;
            if (type == NT_GNU_BUILD_ID && namesz == 4 && qvcrash_async_strncmp(name, "GNU", 4) == 0) {
                size_t n = descsz < capacity ? descsz : capacity;
                qvcrash_async_memcpy(buffer, desc, n);
                *length = n;
                found = true;
            }
            at = nextAt;
        }
        MSqvcrash_async_mobject_free(&notes);
        if (found) return QVCRASH_ESUCCESS;
    }
    return QVCRASH_ENOTFOUND;
}

// ---- symbol tables ----

namespace {

void freeTable(qvcrash_async_macho_symtab_t* table) {
    if (!table->present) return;
    MSqvcrash_async_mobject_free(&table->symbols_mobj);
    MSqvcrash_async_mobject_free(&table->strings_mobj);
    if (table->sorted != nullptr) quorvane::platform::crash::releasePages(table->sorted, table->sorted_bytes);
    table->sorted = nullptr;
    table->present = false;
}

// Maps nsyms entries at symbolsAddr and strsz bytes of strings at stringsAddr of the task.
qvcrash_error_t mapTable(qvcrash_task_t task, uint64_t symbolsAddr, uint64_t nsyms, uint64_t stringsAddr,
                         uint64_t strsz, qvcrash_async_macho_symtab_t* table, const char* what, const char* image) {
    if (nsyms == 0) return QVCRASH_ESUCCESS;  // an empty table is no table
    if (nsyms > UINT64_MAX / sizeof(Elf64_Sym)) return QVCRASH_EINVAL;
    qvcrash_error_t err = MSqvcrash_async_mobject_init(&table->symbols_mobj, task, symbolsAddr, nsyms * sizeof(Elf64_Sym), true);
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("qvcrash_async_mobject_init() failure: %d mapping %s symbols in %s", (int)err, what, image);
        return QVCRASH_EINTERNAL;
    }
    err = MSqvcrash_async_mobject_init(&table->strings_mobj, task, stringsAddr, strsz, true);
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("qvcrash_async_mobject_init() failure: %d mapping %s strings in %s", (int)err, what, image);
        MSqvcrash_async_mobject_free(&table->symbols_mobj);
        return QVCRASH_EINTERNAL;
    }
    table->symbols = qvcrash_async_mobject_remap_address(&table->symbols_mobj, symbolsAddr, 0, 0);
    table->nsyms = nsyms;
    table->strings = static_cast<const char*>(qvcrash_async_mobject_remap_address(&table->strings_mobj, stringsAddr, 0, 0));
    table->strings_size = strsz;
    table->present = true;
    return QVCRASH_ESUCCESS;
}

// The number of dynamic symbols from the GNU hash table at addr: one past the highest symbol
// index that a bucket or chain reaches.
qvcrash_error_t gnuHashSymbolCount(const qvcrash_async_macho_t* image, uint64_t addr, uint64_t* count) {
    const qvcrash_task_t task = image->task;
    const MSqvcrash_async_byteorder_t* bo = image->byteorder;
    uint32_t nbuckets, symoffset, bloomSize;
    if (MSqvcrash_async_task_read_uint32(task, bo, addr, 0, &nbuckets) ||
        MSqvcrash_async_task_read_uint32(task, bo, addr, 4, &symoffset) ||
        MSqvcrash_async_task_read_uint32(task, bo, addr, 8, &bloomSize)) {
        return QVCRASH_EINVAL;
    }
    const uint64_t bucketsAt = 16 + static_cast<uint64_t>(bloomSize) * 8;
    qvcrash_async_mobject_t buckets;
    if (MSqvcrash_async_macho_map_memory(image, addr + bucketsAt, static_cast<uint64_t>(nbuckets) * 4, true, &buckets)) {
        return QVCRASH_EINVAL;
    }
    uint32_t highest = 0;
    for (uint32_t i = 0; i < nbuckets; ++i) {
        uint32_t b = 0;
        MSqvcrash_async_mobject_read_uint32(&buckets, bo, buckets.task_address, (int64_t)i * 4, &b);
        if (b > highest) highest = b;
    }
    MSqvcrash_async_mobject_free(&buckets);
    if (highest < symoffset) {
        *count = symoffset;
        return QVCRASH_ESUCCESS;
    }
    // Follow the highest bucket's chain to its last entry (low bit set).
    const uint64_t chainsAt = addr + bucketsAt + static_cast<uint64_t>(nbuckets) * 4;
    for (uint64_t index = highest; index < (1ULL << 26); ++index) {
        uint32_t hash;
        if (MSqvcrash_async_task_read_uint32(task, bo, chainsAt, (int64_t)((index - symoffset) * 4), &hash)) {
            return QVCRASH_EINVAL;
        }
        if (hash & 1) {
            *count = index + 1;
            return QVCRASH_ESUCCESS;
        }
    }
    return QVCRASH_EINVAL;
}

// The dynamic symbols through PT_DYNAMIC. Not having a dynamic section is not an error.
qvcrash_error_t initDynamicTable(qvcrash_async_macho_t* image, qvcrash_async_macho_symtab_t* table) {
    qvcrash_async_macho_mapped_segment_t dynamic;
    qvcrash_error_t err = MSqvcrash_async_macho_map_segment(image, PT_DYNAMIC, &dynamic);
    if (err == QVCRASH_ENOTFOUND) return QVCRASH_ESUCCESS;
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("qvcrash_async_mobject_init() failure: %d in %s", (int)err, nameOf(image));
        return QVCRASH_EINTERNAL;
    }
    uint64_t symtab = 0, strtab = 0, strsz = 0, syment = sizeof(Elf64_Sym), hash = 0, gnuHash = 0;
    const uint64_t base = dynamic.mobj.task_address;
    for (uint64_t at = 0; at + sizeof(Elf64_Dyn) <= dynamic.mobj.length; at += sizeof(Elf64_Dyn)) {
        uint64_t tag = 0, value = 0;
        MSqvcrash_async_mobject_read_uint64(&dynamic.mobj, image->byteorder, base, (int64_t)at, &tag);
        MSqvcrash_async_mobject_read_uint64(&dynamic.mobj, image->byteorder, base, (int64_t)at + 8, &value);
        if (tag == DT_NULL) break;
        switch (tag) {
            case DT_SYMTAB: symtab = value; break;
            case DT_STRTAB: strtab = value; break;
            case DT_STRSZ: strsz = value; break;
            case DT_SYMENT: syment = value; break;
            case DT_HASH: hash = value; break;
            case DT_GNU_HASH: gnuHash = value; break;
            default: break;
        }
    }
    MSqvcrash_async_macho_mapped_segment_free(&dynamic);
    if (symtab == 0 || strtab == 0) return QVCRASH_ESUCCESS;
    if (syment != sizeof(Elf64_Sym)) {
        QVCRASH_DEBUG("Unexpected dynamic symbol size %llu in %s", (unsigned long long)syment, nameOf(image));
        return QVCRASH_EINVAL;
    }

    // The loader rewrites most of these to run-time addresses in place; the read-only dynamic
    // sections it leaves alone (the vDSO's) hold link-time addresses.
    auto runtime = [image](uint64_t a) {
        return MSqvcrash_async_macho_contains_address(image, a) ? a : a + image->vmaddr_slide;
    };
    symtab = runtime(symtab);
    strtab = runtime(strtab);

    uint64_t nsyms = 0;
    if (hash != 0) {
        uint32_t nchain;
        if (MSqvcrash_async_task_read_uint32(image->task, image->byteorder, runtime(hash), 4, &nchain)) {
            QVCRASH_DEBUG("Unreadable symbol hash table in %s", nameOf(image));
            return QVCRASH_EINVAL;
        }
        nsyms = nchain;
    } else if (gnuHash != 0) {
        if (gnuHashSymbolCount(image, runtime(gnuHash), &nsyms) != QVCRASH_ESUCCESS) {
            QVCRASH_DEBUG("Damaged GNU symbol hash table in %s", nameOf(image));
            return QVCRASH_EINVAL;
        }
    } else {
        return QVCRASH_ESUCCESS;  // no way to know the table's size
    }
    if (nsyms > kQVCrashMaxImageRead / sizeof(Elf64_Sym) || !readableRange(image, symtab, nsyms * sizeof(Elf64_Sym)) ||
        !readableRange(image, strtab, strsz)) {
        QVCRASH_DEBUG("Dynamic symbol table outside of image %s", nameOf(image));
        return QVCRASH_EINVAL;
    }
    return mapTable(image->task, symtab, nsyms, strtab, strsz, table, "dynamic", nameOf(image));
}

// .symtab and its string table from the file mapping. Not having them is not an error.
qvcrash_error_t initFullTable(qvcrash_async_macho_t* image, qvcrash_async_macho_symtab_t* table) {
    qvcrash_async_mobject_t sections;
    uint16_t count = 0;
    qvcrash_error_t err = mapSectionTable(image, &sections, &count);
    if (err == QVCRASH_ENOTFOUND) return QVCRASH_ESUCCESS;
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("Section table outside of its file in %s", nameOf(image));
        return QVCRASH_EINVAL;
    }
    err = QVCRASH_ESUCCESS;
    for (uint16_t i = 1; i < count; ++i) {
        Elf64_Shdr sh, str;
        if (!readSection(image, &sections, i, &sh)) break;
        if (sh.sh_type != SHT_SYMTAB) continue;
        if (sh.sh_entsize != sizeof(Elf64_Sym) || !readSection(image, &sections, sh.sh_link, &str) ||
            sh.sh_offset > image->file_size || sh.sh_size > image->file_size - sh.sh_offset ||
            str.sh_offset > image->file_size || str.sh_size > image->file_size - str.sh_offset) {
            QVCRASH_DEBUG("Symbol table outside of its file in %s", nameOf(image));
            err = QVCRASH_EINVAL;
            break;
        }
        err = mapTable(quorvane::platform::crash::taskSelf(), fileAddress(image) + sh.sh_offset,
                       sh.sh_size / sizeof(Elf64_Sym), fileAddress(image) + str.sh_offset, str.sh_size, table, "full",
                       nameOf(image));
        break;
    }
    MSqvcrash_async_mobject_free(&sections);
    return err;
}

}  // namespace

qvcrash_error_t MSqvcrash_async_macho_symtab_reader_init(qvcrash_async_macho_symtab_reader_t* reader,
                                                         qvcrash_async_macho_t* image) {
    reader->image = image;
    reader->dynamic_symbols = {};
    reader->full_symbols = {};
    if (MSqvcrash_async_macho_is_macho(image)) return QVCRASH_ENOTFOUND;  // see the LC_SYMTAB reader
    // Each table on its own: a damaged one is left out and the other still names the frames.
    const qvcrash_error_t dynamic_err = initDynamicTable(image, &reader->dynamic_symbols);
    const qvcrash_error_t full_err = initFullTable(image, &reader->full_symbols);
    if (reader->dynamic_symbols.present || reader->full_symbols.present) return QVCRASH_ESUCCESS;
    MSqvcrash_async_macho_symtab_reader_free(reader);
    if (dynamic_err != QVCRASH_ESUCCESS) return dynamic_err;
    if (full_err != QVCRASH_ESUCCESS) return full_err;
    QVCRASH_DEBUG("could not find a symbol table in %s", nameOf(image));
    return QVCRASH_ENOTFOUND;
}

qvcrash_async_macho_symtab_entry_t MSqvcrash_async_macho_symtab_reader_read(
    const qvcrash_async_macho_symtab_reader_t* reader, const qvcrash_async_macho_symtab_t* table, uint64_t index) {
    const qvcrash_async_macho_t* image = reader->image;
    Elf64_Sym raw;
    qvcrash_async_memcpy(&raw, static_cast<const uint8_t*>(table->symbols) + index * sizeof(Elf64_Sym), sizeof(raw));
    qvcrash_async_macho_symtab_entry_t entry;
    entry.n_strx = e32(image, raw.st_name);
    entry.n_type = raw.st_info;
    entry.n_other = raw.st_other;
    entry.n_sect = e16(image, raw.st_shndx);
    entry.n_value = e64(image, raw.st_value);
    entry.n_size = e64(image, raw.st_size);
    entry.normalized_value = entry.n_value;
    return entry;
}

const char* MSqvcrash_async_macho_symtab_reader_symbol_name(const qvcrash_async_macho_symtab_reader_t*,
                                                            const qvcrash_async_macho_symtab_t* table,
                                                            uint32_t string_index) {
    if (!table->present || string_index >= table->strings_size) return nullptr;
    const qvcrash_async_mobject_t* mobj = &table->strings_mobj;
    const uintptr_t start = reinterpret_cast<uintptr_t>(table->strings) + string_index;
    for (uintptr_t p = start;; ++p) {
        if (!MSqvcrash_async_mobject_verify_local_pointer(mobj, p, 0, 1)) {
            QVCRASH_DEBUG("End of mobject reached while walking string\n");
            return nullptr;
        }
        if (*reinterpret_cast<const char*>(p) == '\0') return reinterpret_cast<const char*>(start);
    }
}

void MSqvcrash_async_macho_symtab_reader_free(qvcrash_async_macho_symtab_reader_t* reader) {
    freeTable(&reader->dynamic_symbols);
    freeTable(&reader->full_symbols);
}

namespace {

// A symbol that names a place in the image: defined in a section, with a name, and of a kind
// that code or data addresses are attributed to.
bool isCandidate(const qvcrash_async_macho_symtab_entry_t& e) {
    if (e.n_strx == 0 || e.n_sect == SHN_UNDEF || e.n_sect >= SHN_LORESERVE) return false;
    switch (ELF64_ST_TYPE(e.n_type)) {
        case STT_NOTYPE:
        case STT_OBJECT:
        case STT_FUNC:
        case STT_GNU_IFUNC: return true;
        default: return false;
    }
}

// Whether entry a is a better name for an address than entry b at the same start: one that
// states its size first, then a function.
bool preferAtSameAddress(const qvcrash_async_macho_symtab_entry_t& a, const qvcrash_async_macho_symtab_entry_t& b) {
    if ((a.n_size != 0) != (b.n_size != 0)) return a.n_size != 0;
    return ELF64_ST_TYPE(a.n_type) == STT_FUNC && ELF64_ST_TYPE(b.n_type) != STT_FUNC;
}

// The entry of the table that holds the image-relative address: 0 and its index, or 8.
qvcrash_error_t searchTable(const qvcrash_async_macho_symtab_reader_t* reader, const qvcrash_async_macho_symtab_t* table,
                            uint64_t relative, qvcrash_async_macho_symtab_entry_t* found) {
    if (!table->present) return QVCRASH_ENOTFOUND;
    bool have = false;
    qvcrash_async_macho_symtab_entry_t best{};
    if (table->sorted != nullptr) {
        // The last entry at or below the address, then the best of those at its start.
        const uint64_t text = reader->image->text_vmaddr;
        if (relative < text || relative - text > UINT32_MAX) return QVCRASH_ENOTFOUND;
        const uint64_t key = relative - text;
        uint64_t low = 0, high = table->sorted_count;  // entries below low start at or below key
        while (low < high) {
            const uint64_t mid = low + (high - low) / 2;
            if ((table->sorted[mid] >> 32) <= key) low = mid + 1;
            else high = mid;
        }
        if (low == 0) return QVCRASH_ENOTFOUND;
        const uint64_t start = table->sorted[low - 1] >> 32;
        for (uint64_t i = low; i > 0 && (table->sorted[i - 1] >> 32) == start; --i) {
            qvcrash_async_macho_symtab_entry_t e =
                MSqvcrash_async_macho_symtab_reader_read(reader, table, table->sorted[i - 1] & UINT32_MAX);
            if (!have || preferAtSameAddress(e, best)) best = e;
            have = true;
        }
    } else {
        for (uint64_t i = 0; i < table->nsyms; ++i) {
            qvcrash_async_macho_symtab_entry_t e = MSqvcrash_async_macho_symtab_reader_read(reader, table, i);
            if (!isCandidate(e) || e.n_value > relative) continue;
            if (!have || e.n_value > best.n_value || (e.n_value == best.n_value && preferAtSameAddress(e, best))) {
                best = e;
                have = true;
            }
        }
    }
    // A sized symbol ends where its size says: what lies past it is no part of it.
    if (!have || (best.n_size != 0 && relative - best.n_value >= best.n_size)) return QVCRASH_ENOTFOUND;
    *found = best;
    return QVCRASH_ESUCCESS;
}

// Sorts n keys ascending by their upper 32 bits, keeping the order of equal ones: two passes of
// a 16-bit counting sort through scratch (n keys) and counts (65536 entries).
void sortByAddress(uint64_t* keys, uint64_t* scratch, uint32_t* counts, uint64_t n) {
    for (int shift = 32; shift < 64; shift += 16) {
        qvcrash_async_memset(counts, 0, 65536 * sizeof(uint32_t));
        for (uint64_t i = 0; i < n; ++i) counts[(keys[i] >> shift) & 0xFFFF]++;
        uint32_t total = 0;
        for (uint32_t d = 0; d < 65536; ++d) {
            const uint32_t c = counts[d];
            counts[d] = total;
            total += c;
        }
        for (uint64_t i = 0; i < n; ++i) scratch[counts[(keys[i] >> shift) & 0xFFFF]++] = keys[i];
        qvcrash_async_memcpy(keys, scratch, n * sizeof(uint64_t));
    }
}

void sortTable(const qvcrash_async_macho_symtab_reader_t* reader, qvcrash_async_macho_symtab_t* table) {
    namespace pc = quorvane::platform::crash;
    if (!table->present || table->sorted != nullptr || table->nsyms == 0 || table->nsyms > UINT32_MAX) return;
    const uint64_t text = reader->image->text_vmaddr;
    const uint64_t page = pc::pageSize();
    const uint64_t keyBytes = (table->nsyms * sizeof(uint64_t) + page - 1) & ~(page - 1);
    const uint64_t countBytes = 65536 * sizeof(uint32_t);
    auto* keys = static_cast<uint64_t*>(pc::reservePages(keyBytes));
    if (keys == nullptr) return;
    auto* scratch = static_cast<uint8_t*>(pc::reservePages(keyBytes + countBytes));
    if (scratch == nullptr) {
        pc::releasePages(keys, keyBytes);
        return;
    }
    uint64_t n = 0;
    for (uint64_t i = 0; i < table->nsyms; ++i) {
        qvcrash_async_macho_symtab_entry_t e = MSqvcrash_async_macho_symtab_reader_read(reader, table, i);
        // Only what lies in the image can hold one of its addresses.
        if (!isCandidate(e) || e.n_value < text || e.n_value - text > UINT32_MAX) continue;
        keys[n++] = (e.n_value - text) << 32 | i;
    }
    sortByAddress(keys, reinterpret_cast<uint64_t*>(scratch), reinterpret_cast<uint32_t*>(scratch + keyBytes), n);
    pc::releasePages(scratch, keyBytes + countBytes);
    table->sorted = keys;
    table->sorted_count = n;
    table->sorted_bytes = keyBytes;
}

}  // namespace

void MSqvcrash_async_macho_symtab_reader_sort(qvcrash_async_macho_symtab_reader_t* reader) {
    sortTable(reader, &reader->full_symbols);
    sortTable(reader, &reader->dynamic_symbols);
}

qvcrash_error_t MSqvcrash_async_macho_symtab_reader_find_by_pc(const qvcrash_async_macho_symtab_reader_t* reader,
                                                               uint64_t pc,
                                                               qvcrash_async_macho_found_symbol_cb callback,
                                                               void* context) {
    const qvcrash_async_macho_t* image = reader->image;
    const uint64_t relative = pc - image->vmaddr_slide;
    // The full table holds every symbol the dynamic one does and the file's own besides.
    const qvcrash_async_macho_symtab_t* table = &reader->full_symbols;
    qvcrash_async_macho_symtab_entry_t entry;
    qvcrash_error_t err = searchTable(reader, table, relative, &entry);
    if (err != QVCRASH_ESUCCESS) {
        table = &reader->dynamic_symbols;
        err = searchTable(reader, table, relative, &entry);
    }
    if (err != QVCRASH_ESUCCESS) return err;
    const char* name = MSqvcrash_async_macho_symtab_reader_symbol_name(reader, table, entry.n_strx);
    if (name == nullptr) {
        QVCRASH_DEBUG("Failed to read symbol name\n");
        return QVCRASH_EINVAL;
    }
    callback(entry.normalized_value + image->vmaddr_slide, name, context);
    return QVCRASH_ESUCCESS;
}

qvcrash_error_t MSqvcrash_async_macho_find_symbol_by_pc(qvcrash_async_macho_t* image, uint64_t pc,
                                                        qvcrash_async_macho_found_symbol_cb callback, void* context) {
    if (MSqvcrash_async_macho_is_macho(image)) return qvcrash_async_macho_file_find_symbol_by_pc(image, pc, callback, context);
    qvcrash_async_macho_symtab_reader_t reader;
    qvcrash_error_t err = MSqvcrash_async_macho_symtab_reader_init(&reader, image);
    if (err != QVCRASH_ESUCCESS) return err;
    err = MSqvcrash_async_macho_symtab_reader_find_by_pc(&reader, pc, callback, context);
    MSqvcrash_async_macho_symtab_reader_free(&reader);
    return err;
}

qvcrash_error_t MSqvcrash_async_macho_find_symbol_by_name(qvcrash_async_macho_t* image, const char* symbol,
                                                          uint64_t* address) {
    if (MSqvcrash_async_macho_is_macho(image)) return qvcrash_async_macho_file_find_symbol_by_name(image, symbol, address);
    qvcrash_async_macho_symtab_reader_t reader;
    qvcrash_error_t err = MSqvcrash_async_macho_symtab_reader_init(&reader, image);
    if (err != QVCRASH_ESUCCESS) return err;
    err = QVCRASH_ENOTFOUND;
    const qvcrash_async_macho_symtab_t* tables[] = {&reader.dynamic_symbols, &reader.full_symbols};
    for (const auto* table : tables) {
        if (!table->present) continue;
        for (uint64_t i = 0; i < table->nsyms && err == QVCRASH_ENOTFOUND; ++i) {
            qvcrash_async_macho_symtab_entry_t e = MSqvcrash_async_macho_symtab_reader_read(&reader, table, i);
            if (!isCandidate(e)) continue;
            const char* name = MSqvcrash_async_macho_symtab_reader_symbol_name(&reader, table, e.n_strx);
            if (name != nullptr && qvcrash_async_strcmp(name, symbol) == 0) {
                *address = e.normalized_value + image->vmaddr_slide;
                err = QVCRASH_ESUCCESS;
            }
        }
        if (err == QVCRASH_ESUCCESS) break;
    }
    MSqvcrash_async_macho_symtab_reader_free(&reader);
    return err;
}

}  // namespace quorvane
