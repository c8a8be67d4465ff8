#include "crashreporter/capture/QVCrashAsyncMachOFile.h"

namespace quorvane {

namespace {

const char* nameOf(const qvcrash_async_macho_t* image) { return image->name != nullptr ? image->name : ""; }

uint32_t h32(const qvcrash_async_macho_t* image, uint32_t v) { return image->byteorder->swap32(v); }
// A field of either width in host order.
uint64_t host(const qvcrash_async_macho_t* image, uint32_t v) { return h32(image, v); }
uint64_t host(const qvcrash_async_macho_t* image, uint64_t v) { return image->byteorder->swap64(v); }

// Compares a 16-byte name field with a NUL-terminated name.
bool nameFieldEquals(const char field[16], const char* name) {
    for (size_t i = 0; i < 16; ++i) {
        if (field[i] != name[i]) return false;
        if (name[i] == '\0') return true;
    }
    return name[16] == '\0';
}

void copyNameField(char out[17], const char field[16]) {
    qvcrash_async_memcpy(out, field, 16);
    out[16] = '\0';
}

uint64_t segmentCommandSize(const qvcrash_async_macho_t* image) {
    return image->m64 ? sizeof(qvcrash_macho_segment_command_64_t) : sizeof(qvcrash_macho_segment_command_t);
}

uint32_t segmentCommandType(const qvcrash_async_macho_t* image) {
    return image->m64 ? QVCRASH_LC_SEGMENT_64 : QVCRASH_LC_SEGMENT;
}

// The load command at command in host order (it has been verified to lie inside for 8 bytes).
qvcrash_macho_load_command_t readCommand(const qvcrash_async_macho_t* image, const void* command) {
    qvcrash_macho_load_command_t lc;
    qvcrash_async_memcpy(&lc, command, sizeof(lc));
    lc.cmd = h32(image, lc.cmd);
    lc.cmdsize = h32(image, lc.cmdsize);
    return lc;
}

bool insideCommands(const qvcrash_async_macho_t* image, const void* p, uint64_t length) {
    return MSqvcrash_async_mobject_verify_local_pointer(&image->load_cmds, reinterpret_cast<uintptr_t>(p), 0,
                                                        static_cast<size_t>(length));
}

// A segment command or section entry of either width (Record) in host order.
template <typename Record>
void copySegment(const qvcrash_async_macho_t* image, const void* command, qvcrash_async_macho_segment_t* out) {
    Record sc;
    qvcrash_async_memcpy(&sc, command, sizeof(sc));
    copyNameField(out->segname, sc.segname);
    out->vmaddr = host(image, sc.vmaddr);
    out->vmsize = host(image, sc.vmsize);
    out->fileoff = host(image, sc.fileoff);
    out->filesize = host(image, sc.filesize);
    out->maxprot = h32(image, sc.maxprot);
    out->initprot = h32(image, sc.initprot);
    out->nsects = h32(image, sc.nsects);
    out->flags = h32(image, sc.flags);
}

template <typename Record>
void copySection(const qvcrash_async_macho_t* image, const void* entry, qvcrash_async_macho_section_t* out) {
    Record s;
    qvcrash_async_memcpy(&s, entry, sizeof(s));
    copyNameField(out->sectname, s.sectname);
    copyNameField(out->segname, s.segname);
    out->addr = host(image, s.addr);
    out->size = host(image, s.size);
    out->offset = h32(image, s.offset);
    out->align = h32(image, s.align);
    out->flags = h32(image, s.flags);
}

template <typename Record>
qvcrash_async_macho_nlist_entry_t copySymbol(const qvcrash_async_macho_t* image, const void* at) {
    Record n;
    qvcrash_async_memcpy(&n, at, sizeof(n));
    return {h32(image, n.n_strx), n.n_type, n.n_sect, image->byteorder->swap16(n.n_desc), host(image, n.n_value), 0};
}

}  // namespace

// ---- the record ----

qvcrash_error_t qvcrash_nasync_macho_file_init(qvcrash_async_macho_t* image) {
    image->format = QVCRASH_IMAGE_FORMAT_MACHO;
    image->load_cmds = {};
    qvcrash_error_t err =
        MSqvcrash_async_task_memcpy(image->task, image->header_addr, 0, &image->macho_header, sizeof(image->macho_header));
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("Failed to read Mach-O header from 0x%llx for image %s, ret=%d",
                      (unsigned long long)image->header_addr, nameOf(image), (int)err);
        return QVCRASH_EINTERNAL;
    }
    switch (image->macho_header.magic) {
        case QVCRASH_MH_MAGIC:
            image->m64 = false;
            image->byteorder = MSqvcrash_async_byteorder_direct();
            break;
        case QVCRASH_MH_CIGAM:
            image->m64 = false;
            image->byteorder = MSqvcrash_async_byteorder_swapped();
            break;
        case QVCRASH_MH_MAGIC_64:
            image->m64 = true;
            image->byteorder = MSqvcrash_async_byteorder_direct();
            break;
        case QVCRASH_MH_CIGAM_64:
            image->m64 = true;
            image->byteorder = MSqvcrash_async_byteorder_swapped();
            break;
        case QVCRASH_FAT_MAGIC:
        case QVCRASH_FAT_CIGAM:
            QVCRASH_DEBUG("%s called with an unsupported universal Mach-O archive in: %s", "MSqvcrash_nasync_macho_init",
                          nameOf(image));
            return QVCRASH_EINVAL;
        default:
            QVCRASH_DEBUG("Unknown Mach-O magic: 0x%x in: %s", image->macho_header.magic, nameOf(image));
            return QVCRASH_EINVAL;
    }
    image->header_size = image->m64 ? 32 : 28;
    image->ncmds = h32(image, image->macho_header.ncmds);
    const uint32_t sizeofcmds = h32(image, image->macho_header.sizeofcmds);

    err = MSqvcrash_async_mobject_init(&image->load_cmds, image->task, image->header_addr + image->header_size,
                                       sizeofcmds, true);
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("Failed to map Mach-O load commands in image %s", nameOf(image));
        image->load_cmds = {};
        return err;
    }

    image->text_size = 0;
    const uint32_t segType = segmentCommandType(image);
    for (const void* cmd = qvcrash_async_macho_file_find_command(image, segType); cmd != nullptr;
         cmd = qvcrash_async_macho_file_next_command_type(image, cmd, segType)) {
        qvcrash_async_macho_segment_t segment;
        if (!MSqvcrash_async_macho_read_segment(image, cmd, &segment)) {
            QVCRASH_DEBUG("LC_SEGMENT command was too short");
            MSqvcrash_async_mobject_free(&image->load_cmds);
            return QVCRASH_EINVAL;
        }
        if (qvcrash_async_strcmp(segment.segname, "__TEXT") == 0) {
            image->text_vmaddr = segment.vmaddr;
            image->text_size = segment.vmsize;
            image->vmaddr_slide = image->header_addr - segment.vmaddr;
            return QVCRASH_ESUCCESS;
        }
    }
    QVCRASH_DEBUG("Could not find __TEXT segment!");
    MSqvcrash_async_mobject_free(&image->load_cmds);
    return QVCRASH_EINVAL;
}

// ---- load commands ----

const void* qvcrash_async_macho_file_next_command(const qvcrash_async_macho_t* image, const void* previous) {
    const qvcrash_async_mobject_t* cmds = &image->load_cmds;
    if (previous == nullptr) {
        if (cmds->length < sizeof(qvcrash_macho_load_command_t)) {
            QVCRASH_DEBUG("Mach-O sizeofcmds is less than sizeof(struct load_command) in %s", nameOf(image));
            return nullptr;
        }
        return qvcrash_async_mobject_remap_address(cmds, cmds->task_address, 0, sizeof(qvcrash_macho_load_command_t));
    }
    if (!insideCommands(image, previous, sizeof(qvcrash_macho_load_command_t))) {
        QVCRASH_DEBUG("Failed to map LC_CMD at address %p in: %s", previous, nameOf(image));
        return nullptr;
    }
    const uint32_t cmdsize = readCommand(image, previous).cmdsize;
    if (cmdsize < sizeof(qvcrash_macho_load_command_t)) {
        QVCRASH_DEBUG("Found invalid 0-length cmdsize in LC_CMD at address %p in: %s (terminating further iteration)",
                      previous, nameOf(image));
        return nullptr;
    }
    const uintptr_t at = reinterpret_cast<uintptr_t>(previous);
    if (UINTPTR_MAX - at < cmdsize) {
        QVCRASH_DEBUG("Found invalid cmdsize in LC_CMD at address %p in: %s", previous, nameOf(image));
        return nullptr;
    }
    const uintptr_t next = at + cmdsize;
    if (next >= cmds->address + cmds->length) return nullptr;  // the normal end
    const void* p = reinterpret_cast<const void*>(next);
    if (!insideCommands(image, p, sizeof(qvcrash_macho_load_command_t)) ||
        !insideCommands(image, p, readCommand(image, p).cmdsize)) {
        QVCRASH_DEBUG("Failed to map LC_CMD at address %p in: %s", p, nameOf(image));
        return nullptr;
    }
    return p;
}

const void* qvcrash_async_macho_file_next_command_type(const qvcrash_async_macho_t* image, const void* previous,
                                                       uint32_t type) {
    for (const void* cmd = qvcrash_async_macho_file_next_command(image, previous); cmd != nullptr;
         cmd = qvcrash_async_macho_file_next_command(image, cmd)) {
        if (readCommand(image, cmd).cmd == type) return cmd;
    }
    return nullptr;
}

const void* qvcrash_async_macho_file_find_command(const qvcrash_async_macho_t* image, uint32_t type) {
    const void* cmd = qvcrash_async_macho_file_next_command(image, nullptr);
    if (cmd == nullptr) return nullptr;
    if (!insideCommands(image, cmd, sizeof(qvcrash_macho_load_command_t))) {
        QVCRASH_DEBUG("Failed to map LC_CMD at address %p in: %s", cmd, nameOf(image));
        return nullptr;
    }
    if (readCommand(image, cmd).cmd == type) return cmd;
    return qvcrash_async_macho_file_next_command_type(image, cmd, type);
}

// ---- segments and sections ----

bool MSqvcrash_async_macho_read_segment(const qvcrash_async_macho_t* image, const void* command,
                                        qvcrash_async_macho_segment_t* out) {
    if (!MSqvcrash_async_macho_is_macho(image) || command == nullptr ||
        !insideCommands(image, command, segmentCommandSize(image)) ||
        readCommand(image, command).cmd != segmentCommandType(image)) {
        return false;
    }
    if (image->m64) copySegment<qvcrash_macho_segment_command_64_t>(image, command, out);
    else copySegment<qvcrash_macho_segment_command_t>(image, command, out);
    out->sections = static_cast<const uint8_t*>(command) + segmentCommandSize(image);
    return true;
}

bool MSqvcrash_async_macho_read_section(const qvcrash_async_macho_t* image, const qvcrash_async_macho_segment_t* segment,
                                        uint32_t index, qvcrash_async_macho_section_t* out) {
    const uint64_t entrySize = image->m64 ? sizeof(qvcrash_macho_section_64_t) : sizeof(qvcrash_macho_section_t);
    const uintptr_t at = reinterpret_cast<uintptr_t>(segment->sections);
    if (!MSqvcrash_async_mobject_verify_local_pointer(&image->load_cmds, at, (int64_t)(index * entrySize),
                                                      static_cast<size_t>(entrySize))) {
        return false;
    }
    const void* p = reinterpret_cast<const void*>(at + index * entrySize);
    if (image->m64) copySection<qvcrash_macho_section_64_t>(image, p, out);
    else copySection<qvcrash_macho_section_t>(image, p, out);
    return true;
}

const void* MSqvcrash_async_macho_find_segment_cmd(const qvcrash_async_macho_t* image, const char* segname) {
    if (!MSqvcrash_async_macho_is_macho(image)) return nullptr;
    const uint32_t segType = segmentCommandType(image);
    for (const void* cmd = qvcrash_async_macho_file_find_command(image, segType); cmd != nullptr;
         cmd = qvcrash_async_macho_file_next_command_type(image, cmd, segType)) {
        if (!insideCommands(image, cmd, segmentCommandSize(image))) return nullptr;
        // segname follows cmd and cmdsize in both widths.
        if (nameFieldEquals(static_cast<const char*>(cmd) + 8, segname)) return cmd;
    }
    return nullptr;
}

qvcrash_error_t MSqvcrash_async_macho_map_segment(const qvcrash_async_macho_t* image, const char* segname,
                                                  qvcrash_async_macho_mapped_segment_t* segment) {
    qvcrash_async_macho_segment_t sc;
    if (!MSqvcrash_async_macho_read_segment(image, MSqvcrash_async_macho_find_segment_cmd(image, segname), &sc)) {
        return QVCRASH_ENOTFOUND;
    }
    qvcrash_error_t err =
        MSqvcrash_async_mobject_init(&segment->mobj, image->task, sc.vmaddr + image->vmaddr_slide, sc.vmsize, false);
    if (err != QVCRASH_ESUCCESS) return err;
    segment->fileoff = sc.fileoff;
    segment->filesize = sc.filesize;
    return QVCRASH_ESUCCESS;
}

qvcrash_error_t MSqvcrash_async_macho_map_section(const qvcrash_async_macho_t* image, const char* segname,
                                                  const char* sectname, qvcrash_async_mobject_t* mobj) {
    qvcrash_async_macho_segment_t sc;
    if (!MSqvcrash_async_macho_read_segment(image, MSqvcrash_async_macho_find_segment_cmd(image, segname), &sc)) {
        return QVCRASH_ENOTFOUND;
    }
    for (uint32_t i = 0; i < sc.nsects; ++i) {
        qvcrash_async_macho_section_t section;
        if (!MSqvcrash_async_macho_read_section(image, &sc, i, &section)) {
            QVCRASH_DEBUG("Section table entry outside of expected range; searching for (%s,%s)", segname, sectname);
            return QVCRASH_EINVAL;
        }
        if (qvcrash_async_strcmp(section.sectname, sectname) != 0) continue;
        return MSqvcrash_async_mobject_init(mobj, image->task, section.addr + image->vmaddr_slide, section.size, true);
    }
    return QVCRASH_ENOTFOUND;
}

// ---- UUID ----

qvcrash_error_t qvcrash_async_macho_file_find_uuid(const qvcrash_async_macho_t* image, uint8_t* buffer,
                                                   size_t capacity, size_t* length) {
    const void* cmd = qvcrash_async_macho_file_find_command(image, QVCRASH_LC_UUID);
    if (cmd == nullptr || !insideCommands(image, cmd, sizeof(qvcrash_macho_uuid_command_t))) return QVCRASH_ENOTFOUND;
    const size_t n = capacity < 16 ? capacity : 16;
    qvcrash_async_memcpy(buffer, static_cast<const uint8_t*>(cmd) + 8, n);
    *length = n;
    return QVCRASH_ESUCCESS;
}

// ---- symbol tables ----

qvcrash_error_t MSqvcrash_async_macho_symtab_reader_init(qvcrash_async_macho_lc_symtab_reader_t* reader,
                                                         qvcrash_async_macho_t* image) {
    qvcrash_async_memset(reader, 0, sizeof(*reader));
    reader->image = image;
    if (!MSqvcrash_async_macho_is_macho(image)) return QVCRASH_ENOTFOUND;
    const void* symtabCmd = qvcrash_async_macho_file_find_command(image, QVCRASH_LC_SYMTAB);
    if (symtabCmd == nullptr || !insideCommands(image, symtabCmd, sizeof(qvcrash_macho_symtab_command_t))) {
        QVCRASH_DEBUG("could not find LC_SYMTAB load command");
        return QVCRASH_ENOTFOUND;
    }
    qvcrash_macho_symtab_command_t st;
    qvcrash_async_memcpy(&st, symtabCmd, sizeof(st));
    const uint32_t symoff = h32(image, st.symoff), nsyms = h32(image, st.nsyms);
    const uint32_t stroff = h32(image, st.stroff), strsize = h32(image, st.strsize);

    const void* dysymtabCmd = qvcrash_async_macho_file_find_command(image, QVCRASH_LC_DYSYMTAB);
    if (dysymtabCmd != nullptr && !insideCommands(image, dysymtabCmd, sizeof(qvcrash_macho_dysymtab_command_t))) {
        dysymtabCmd = nullptr;
    }

    qvcrash_error_t err = MSqvcrash_async_macho_map_segment(image, "__LINKEDIT", &reader->linkedit);
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("qvcrash_async_mobject_init() failure: %d in %s", (int)err, nameOf(image));
        return QVCRASH_EINTERNAL;
    }
    const qvcrash_async_mobject_t* le = &reader->linkedit.mobj;
    const uint64_t entrySize = image->m64 ? sizeof(qvcrash_macho_nlist_64_t) : sizeof(qvcrash_macho_nlist_t);
    // File offsets become offsets from the segment's start.
    const int64_t symAt = (int64_t)((uint64_t)symoff - reader->linkedit.fileoff);
    const int64_t strAt = (int64_t)((uint64_t)stroff - reader->linkedit.fileoff);
    reader->symtab = qvcrash_async_mobject_remap_address(le, le->task_address, symAt,
                                                         static_cast<size_t>(nsyms * entrySize));
    if (reader->symtab == nullptr) {
        QVCRASH_DEBUG("qvcrash_async_mobject_remap_address(mobj, %llx, %llx) returned NULL mapping __LINKEDIT.symoff in %s",
                      (unsigned long long)le->task_address, (unsigned long long)symAt, nameOf(image));
        MSqvcrash_async_macho_mapped_segment_free(&reader->linkedit);
        return QVCRASH_EINTERNAL;
    }
    reader->nsyms = nsyms;
    reader->string_table =
        static_cast<const char*>(qvcrash_async_mobject_remap_address(le, le->task_address, strAt, strsize));
    if (reader->string_table == nullptr) {
        QVCRASH_DEBUG("qvcrash_async_mobject_remap_address(mobj, %llx, %llx) returned NULL mapping __LINKEDIT.stroff in %s",
                      (unsigned long long)le->task_address, (unsigned long long)strAt, nameOf(image));
        MSqvcrash_async_macho_mapped_segment_free(&reader->linkedit);
        return QVCRASH_EINTERNAL;
    }
    reader->string_table_size = strsize;

    if (dysymtabCmd != nullptr) {
        qvcrash_macho_dysymtab_command_t dy;
        qvcrash_async_memcpy(&dy, dysymtabCmd, sizeof(dy));
        const uint64_t iext = h32(image, dy.iextdefsym), next = h32(image, dy.nextdefsym);
        const uint64_t iloc = h32(image, dy.ilocalsym), nloc = h32(image, dy.nlocalsym);
        if (iext + next > nsyms || iloc + nloc > nsyms) {
            QVCRASH_DEBUG("iextdefsym=%x, ilocalsym=%x out of range nsym=%x", (unsigned)iext, (unsigned)iloc, nsyms);
            MSqvcrash_async_macho_mapped_segment_free(&reader->linkedit);
            return QVCRASH_EINVAL;
        }
        reader->symtab_global = static_cast<const uint8_t*>(reader->symtab) + iext * entrySize;
        reader->nsyms_global = static_cast<uint32_t>(next);
        reader->symtab_local = static_cast<const uint8_t*>(reader->symtab) + iloc * entrySize;
        reader->nsyms_local = static_cast<uint32_t>(nloc);
    }
    return QVCRASH_ESUCCESS;
}

qvcrash_async_macho_nlist_entry_t MSqvcrash_async_macho_symtab_reader_read(
    const qvcrash_async_macho_lc_symtab_reader_t* reader, const void* table, uint32_t index) {
    const qvcrash_async_macho_t* image = reader->image;
    const uint8_t* base = static_cast<const uint8_t*>(table);
    qvcrash_async_macho_nlist_entry_t entry =
        image->m64 ? copySymbol<qvcrash_macho_nlist_64_t>(image, base + (uint64_t)index * sizeof(qvcrash_macho_nlist_64_t))
                   : copySymbol<qvcrash_macho_nlist_t>(image, base + (uint64_t)index * sizeof(qvcrash_macho_nlist_t));
    // A Thumb definition (N_ARM_THUMB_DEF) is reported at its odd address.
    entry.normalized_value = (entry.n_desc & 0x0008) != 0 ? (entry.n_value | 1) : entry.n_value;
    return entry;
}

const char* MSqvcrash_async_macho_symtab_reader_symbol_name(const qvcrash_async_macho_lc_symtab_reader_t* reader,
                                                            uint32_t string_index) {
    const qvcrash_async_mobject_t* mobj = &reader->linkedit.mobj;
    const uintptr_t start = reinterpret_cast<uintptr_t>(reader->string_table) + string_index;
    if (string_index < reader->string_table_size) {
        for (uintptr_t p = start; MSqvcrash_async_mobject_verify_local_pointer(mobj, p, 0, 1); ++p) {
            if (*reinterpret_cast<const char*>(p) == '\0') return reinterpret_cast<const char*>(start);
        }
    }
    QVCRASH_DEBUG("End of mobject reached while walking string\n");
    return nullptr;
}

void MSqvcrash_async_macho_symtab_reader_free(qvcrash_async_macho_lc_symtab_reader_t* reader) {
    if (reader->symtab != nullptr) MSqvcrash_async_macho_mapped_segment_free(&reader->linkedit);
    reader->symtab = nullptr;
}

namespace {

// Defined in a section (N_SECT) and not a debugging entry.
bool isDefinedInSection(const qvcrash_async_macho_nlist_entry_t& e) { return (e.n_type & 0xEE) == 0x0E; }

struct Best {
    bool found = false;
    qvcrash_async_macho_nlist_entry_t entry{};
};

void searchTable(const qvcrash_async_macho_lc_symtab_reader_t* reader, const void* table, uint32_t count,
                 uint64_t relative, Best* best) {
    for (uint32_t i = 0; i < count; ++i) {
        qvcrash_async_macho_nlist_entry_t e = MSqvcrash_async_macho_symtab_reader_read(reader, table, i);
        if (!isDefinedInSection(e) || e.n_value > relative) continue;
        if (!best->found || e.n_value > best->entry.n_value) {
            best->found = true;
            best->entry = e;
        }
    }
}

}  // namespace

qvcrash_error_t qvcrash_async_macho_file_find_symbol_by_pc(qvcrash_async_macho_t* image, uint64_t pc,
                                                           qvcrash_async_macho_found_symbol_cb callback,
                                                           void* context) {
    qvcrash_async_macho_lc_symtab_reader_t reader;
    qvcrash_error_t err = MSqvcrash_async_macho_symtab_reader_init(&reader, image);
    if (err != QVCRASH_ESUCCESS) return err;
    const uint64_t relative = pc - image->vmaddr_slide;
    Best best;
    if (reader.symtab_global != nullptr && reader.symtab_local != nullptr) {
        searchTable(&reader, reader.symtab_global, reader.nsyms_global, relative, &best);
        searchTable(&reader, reader.symtab_local, reader.nsyms_local, relative, &best);
    } else {
        searchTable(&reader, reader.symtab, reader.nsyms, relative, &best);
    }
    if (!best.found) {
        err = QVCRASH_ENOTFOUND;
    } else if (const char* name = MSqvcrash_async_macho_symtab_reader_symbol_name(&reader, best.entry.n_strx)) {
        callback(best.entry.normalized_value + image->vmaddr_slide, name, context);
        err = QVCRASH_ESUCCESS;
    } else {
        QVCRASH_DEBUG("Failed to read symbol name\n");
        err = QVCRASH_EINVAL;
    }
    MSqvcrash_async_macho_symtab_reader_free(&reader);
    return err;
}

qvcrash_error_t qvcrash_async_macho_file_find_symbol_by_name(qvcrash_async_macho_t* image, const char* symbol,
                                                             uint64_t* address) {
    qvcrash_async_macho_lc_symtab_reader_t reader;
    qvcrash_error_t err = MSqvcrash_async_macho_symtab_reader_init(&reader, image);
    if (err != QVCRASH_ESUCCESS) return err;
    err = QVCRASH_ENOTFOUND;
    for (uint32_t i = 0; i < reader.nsyms; ++i) {
        qvcrash_async_macho_nlist_entry_t e = MSqvcrash_async_macho_symtab_reader_read(&reader, reader.symtab, i);
        if (!isDefinedInSection(e)) continue;
        const char* name = MSqvcrash_async_macho_symtab_reader_symbol_name(&reader, e.n_strx);
        if (name != nullptr && qvcrash_async_strcmp(name, symbol) == 0) {
            *address = e.normalized_value + image->vmaddr_slide;
            err = QVCRASH_ESUCCESS;
            break;
        }
    }
    MSqvcrash_async_macho_symtab_reader_free(&reader);
    return err;
}

}  // namespace quorvane
