#include "crashreporter/capture/QVCrashAsyncDwarfUnwind.h"

#include "crashreporter/capture/QVCrashAsyncDwarfCFAState.h"
#include "crashreporter/capture/QVCrashAsyncMachOFile.h"

namespace quorvane {

using namespace quorvane::qvcrash::MS::async;

namespace {

enum : uint32_t { kCfiNotYet = 0, kCfiBusy = 1, kCfiReady = 2, kCfiNone = 3 };

// The sections of one image's call-frame information, as memory objects.
struct CfiView {
    const qvcrash_async_mobject_t* hdr;  // null without .eh_frame_hdr
    const qvcrash_async_mobject_t* section;
    bool debug_frame;
};

// The end of the loadable segment that holds address, or 0.
uint64_t loadSegmentEnd(const qvcrash_async_macho_t* image, uint64_t address) {
    for (const void* cmd = MSqvcrash_async_macho_find_command(image, PT_LOAD); cmd != nullptr;
         cmd = MSqvcrash_async_macho_next_command_type(image, cmd, PT_LOAD)) {
        Elf64_Phdr ph;
        if (!MSqvcrash_async_macho_read_segment(image, cmd, &ph)) break;
        const uint64_t start = ph.p_vaddr + image->vmaddr_slide;
        if (address >= start && address - start < ph.p_memsz) return start + ph.p_memsz;
    }
    return 0;
}

// Copies the image's call-frame sections: 0, ENOTFOUND when it has none, or a mapping's code.
qvcrash_error_t copyCfi(const qvcrash_async_macho_t* image, qvcrash_async_mobject_t* hdr, bool* has_hdr,
                        qvcrash_async_mobject_t* section, bool* debug_frame) {
    *has_hdr = false;
    *debug_frame = false;
    if (MSqvcrash_async_macho_is_macho(image)) {
        if (MSqvcrash_async_macho_map_section(image, "__TEXT", "__eh_frame", section) == QVCRASH_ESUCCESS) {
            return QVCRASH_ESUCCESS;
        }
        if (MSqvcrash_async_macho_map_section(image, "__DWARF", "__debug_frame", section) != QVCRASH_ESUCCESS) {
            return QVCRASH_ENOTFOUND;
        }
        *debug_frame = true;
        return QVCRASH_ESUCCESS;
    }
    Elf64_Phdr ph;
    if (MSqvcrash_async_macho_read_segment(image, MSqvcrash_async_macho_find_segment_cmd(image, PT_GNU_EH_FRAME), &ph) &&
        MSqvcrash_async_macho_map_memory(image, ph.p_vaddr + image->vmaddr_slide, ph.p_memsz, true, hdr) ==
            QVCRASH_ESUCCESS) {
        uint64_t eh_frame = 0;
        if (qvcrash_async_dwarf_eh_frame_hdr_eh_frame(hdr, image->byteorder, image->m64, &eh_frame) ==
            QVCRASH_ESUCCESS) {
            *has_hdr = true;
            // The section's own extent when the section table is at hand, else up to the end of
            // its segment (a zero length entry ends the section before that).
            if (MSqvcrash_async_macho_map_section(image, ".eh_frame", section) == QVCRASH_ESUCCESS) {
                if (MSqvcrash_async_mobject_base_address(section) == eh_frame) return QVCRASH_ESUCCESS;
                MSqvcrash_async_mobject_free(section);
            }
            const uint64_t end = loadSegmentEnd(image, eh_frame);
            if (end > eh_frame &&
                MSqvcrash_async_macho_map_memory(image, eh_frame, end - eh_frame, false, section) == QVCRASH_ESUCCESS) {
                return QVCRASH_ESUCCESS;
            }
            *has_hdr = false;
        }
        MSqvcrash_async_mobject_free(hdr);
    }
    if (MSqvcrash_async_macho_map_section(image, ".eh_frame", section) == QVCRASH_ESUCCESS) return QVCRASH_ESUCCESS;
    if (MSqvcrash_async_macho_map_section(image, ".debug_frame", section) == QVCRASH_ESUCCESS) {
        *debug_frame = true;
        return QVCRASH_ESUCCESS;
    }
    return QVCRASH_ENOTFOUND;
}

// The image's sections: its kept copy, made now when this thread is the first; while another
// thread makes it, a copy of this call's own (in scratch, owned = true).
qvcrash_error_t acquireCfi(qvcrash_async_macho_t* image, CfiView* view, qvcrash_async_mobject_t scratch[2],
                           bool* owned) {
    *owned = false;
    uint32_t state = image->cfi_state.load(std::memory_order_acquire);
    if (state == kCfiNotYet && image->cfi_state.compare_exchange_strong(state, kCfiBusy, std::memory_order_acq_rel)) {
        qvcrash_error_t err =
            copyCfi(image, &image->cfi_hdr, &image->cfi_has_hdr, &image->cfi_section, &image->cfi_debug_frame);
        state = err == QVCRASH_ESUCCESS ? kCfiReady : err == QVCRASH_ENOTFOUND ? kCfiNone : kCfiNotYet;
        image->cfi_state.store(state, std::memory_order_release);
        if (err != QVCRASH_ESUCCESS) return err;
    }
    if (state == kCfiNone) return QVCRASH_ENOTFOUND;
    if (state == kCfiReady) {
        *view = {image->cfi_has_hdr ? &image->cfi_hdr : nullptr, &image->cfi_section, image->cfi_debug_frame};
        return QVCRASH_ESUCCESS;
    }
    bool has_hdr;
    qvcrash_error_t err = copyCfi(image, &scratch[0], &has_hdr, &scratch[1], &view->debug_frame);
    if (err != QVCRASH_ESUCCESS) return err;
    *owned = true;
    view->hdr = has_hdr ? &scratch[0] : nullptr;
    view->section = &scratch[1];
    return QVCRASH_ESUCCESS;
}

template <typename P, typename S>
qvframe_error_t unwind(qvcrash_async_page_cache_t* memory, const qvcrash_async_macho_t* image, const CfiView& cfi, uint64_t pc,
                       const qvcrash_async_thread_state_t* current, qvcrash_async_thread_state_t* next) {
    const MSqvcrash_async_byteorder_t* byteorder = image->byteorder;
    const qvcrash_async_mobject_t* section = cfi.section;
    const uint64_t base = MSqvcrash_async_mobject_base_address(section);
    // .debug_frame holds link-time addresses.
    const P search_pc = static_cast<P>(cfi.debug_frame ? pc - image->vmaddr_slide : pc);

    dwarf_cfi_reader reader;
    reader.init(section, byteorder, sizeof(P) == 8, cfi.debug_frame);
    // The FDE, and its CIE decoded on the way.
    qvcrash_async_dwarf_fde_info_t fde;
    qvcrash_async_dwarf_cie_info_t cie;
    qvcrash_error_t err = QVCRASH_ENOTSUP;
    if (cfi.hdr != nullptr) {
        uint64_t fde_address;
        err = qvcrash_async_dwarf_eh_frame_hdr_search(cfi.hdr, byteorder, sizeof(P) == 8, search_pc, &fde_address);
        if (err == QVCRASH_ESUCCESS) err = reader.fde_at(fde_address, search_pc, &fde, &cie);
    }
    if (err != QVCRASH_ESUCCESS && err != QVCRASH_ENOTFOUND) err = reader.find_fde(0, search_pc, &fde, &cie);
    if (err != QVCRASH_ESUCCESS) return QVFRAME_ENOTSUP;

    gnu_ehptr_reader<P> ptr_reader(byteorder);
    dwarf_cfa_state<P, S> state;
    if ((err = state.eval_program(section, search_pc, static_cast<P>(fde.pc_start), &cie, &ptr_reader, byteorder, base,
                                  cie.initial_instructions_offset, cie.initial_instructions_length))) {
        QVCRASH_DEBUG("Failed to evaluate CFA at offset of 0x%llx: %d",
                      static_cast<unsigned long long>(cie.initial_instructions_offset), static_cast<int>(err));
        return QVFRAME_ENOTSUP;
    }
    if ((err = state.eval_program(section, search_pc, static_cast<P>(fde.pc_start), &cie, &ptr_reader, byteorder, base,
                                  fde.instructions_offset, fde.instructions_length))) {
        QVCRASH_DEBUG("Failed to evaluate CFA at offset of 0x%llx: %d",
                      static_cast<unsigned long long>(fde.instructions_offset), static_cast<int>(err));
        return QVFRAME_ENOTSUP;
    }
    // An undefined return address marks the outermost frame: the walk ends here, quietly.
    if (state.is_undefined(cie.return_address_register)) {
        MSqvcrash_async_thread_state_copy(next, current);
        MSqvcrash_async_thread_state_clear_all_regs(next);
        return QVFRAME_ESUCCESS;
    }
    if ((err = state.apply_state(memory->task, &cie, current, byteorder, next, section, memory))) {
        QVCRASH_DEBUG("Failed to apply CFA state for PC 0x%llx: %d", static_cast<unsigned long long>(pc),
                      static_cast<int>(err));
        return QVFRAME_ENOFRAME;
    }
    // Past a signal frame the pc is the interrupted instruction itself.
    next->ip_is_return_address = !cie.eh_augmentation.signal_frame;
    return QVFRAME_ESUCCESS;
}

}  // namespace

qvframe_error_t MSqvframe_cursor_read_dwarf_unwind(qvcrash_async_page_cache_t* memory, qvcrash_async_image_list_t* image_list,
                                                   const qvcrash_async_thread_state_t* current_frame,
                                                   const qvcrash_async_thread_state_t*,
                                                   qvcrash_async_thread_state_t* next_frame) {
    if (!MSqvcrash_async_thread_state_has_reg(current_frame, QVCRASH_REG_IP)) return QVFRAME_EBADFRAME;
    if (image_list == nullptr) return QVFRAME_ENOTSUP;
    const uint64_t pc = MSqvcrash_async_thread_state_lookup_pc(
        current_frame, MSqvcrash_async_thread_state_get_reg(current_frame, QVCRASH_REG_IP));

    MSqvcrash_nasync_image_list_set_reading(image_list, true);
    qvcrash_async_macho_t* image = MSqvcrash_nasync_image_list_find_image_for_address(image_list, pc);
    if (image == nullptr) {
        QVCRASH_DEBUG("Could not find a loaded image for the current frame pc: 0x%llx", static_cast<unsigned long long>(pc));
        MSqvcrash_nasync_image_list_set_reading(image_list, false);
        return QVFRAME_ENOTSUP;
    }
    CfiView cfi{};
    qvcrash_async_mobject_t scratch[2] = {};
    bool owned = false;
    qvframe_error_t result;
    if (acquireCfi(image, &cfi, scratch, &owned) != QVCRASH_ESUCCESS) {
        result = QVFRAME_ENOFRAME;
    } else {
        result = image->m64 ? unwind<uint64_t, int64_t>(memory, image, cfi, pc, current_frame, next_frame)
                            : unwind<uint32_t, int32_t>(memory, image, cfi, pc, current_frame, next_frame);
    }
    if (owned) {
        MSqvcrash_async_mobject_free(&scratch[0]);
        MSqvcrash_async_mobject_free(&scratch[1]);
    }
    MSqvcrash_nasync_image_list_set_reading(image_list, false);
    return result;
}

}  // namespace quorvane
