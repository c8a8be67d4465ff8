#include "tests/crashreporter/MachOFixtures.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace machofixtures {

std::string fixtureDirectory() {
#ifdef QUORVANE_MACHO_FIXTURES
    return QUORVANE_MACHO_FIXTURES;
#else
    return "";
#endif
}

std::string objdumpTool() {
#ifdef QUORVANE_LLVM_OBJDUMP
    return QUORVANE_LLVM_OBJDUMP;
#else
    return "";
#endif
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string runCommand(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

void recordSymbol(uint64_t address, const char* name, void* context) {
    auto* found = static_cast<FoundSymbol*>(context);
    ++found->calls;
    found->address = address;
    found->name = name;
}

Pages::Pages(size_t length, bool low) : length_((length + 4095) & ~size_t{4095}) {
    void* p = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | (low ? MAP_32BIT : 0), -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
    base_ = static_cast<uint8_t*>(p);
}

Pages::~Pages() { munmap(base_, length_); }

namespace {

template <typename T>
T get(const std::vector<uint8_t>& bytes, size_t at) {
    if (at + sizeof(T) > bytes.size()) throw std::runtime_error("fixture file too short");
    T v;
    std::memcpy(&v, bytes.data() + at, sizeof v);
    return v;
}

uint64_t uleb(const std::vector<uint8_t>& bytes, size_t* at) {
    uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
        const uint8_t b = get<uint8_t>(bytes, (*at)++);
        value |= uint64_t(b & 0x7F) << shift;
        if ((b & 0x80) == 0) return value;
    }
}

}  // namespace

LoadedImage loadDylib(const std::string& path) {
    const std::vector<uint8_t> file = readFile(path);
    if (get<uint32_t>(file, 0) != 0xFEEDFACF) throw std::runtime_error(path + " is not a 64-bit Mach-O file");
    const uint32_t ncmds = get<uint32_t>(file, 16);
    struct Seg {
        uint64_t vmaddr, vmsize, fileoff, filesize;
    };
    std::vector<Seg> segments;
    uint32_t rebaseOff = 0, rebaseSize = 0;
    size_t at = 32;
    for (uint32_t i = 0; i < ncmds; ++i) {
        const uint32_t cmd = get<uint32_t>(file, at), size = get<uint32_t>(file, at + 4);
        if (cmd == 0x19) {
            segments.push_back({get<uint64_t>(file, at + 24), get<uint64_t>(file, at + 32), get<uint64_t>(file, at + 40),
                                get<uint64_t>(file, at + 48)});
        } else if (cmd == 0x22 || cmd == 0x80000022) {
            rebaseOff = get<uint32_t>(file, at + 8);
            rebaseSize = get<uint32_t>(file, at + 12);
        }
        at += size;
    }
    LoadedImage image;
    image.textVmaddr = segments.at(0).vmaddr;
    uint64_t end = 0;
    for (const Seg& s : segments) end = std::max(end, s.vmaddr + s.vmsize);
    image.pages = std::make_unique<Pages>(end - image.textVmaddr);
    image.header = image.pages->address();
    for (const Seg& s : segments) {
        if (s.fileoff + s.filesize > file.size()) throw std::runtime_error("segment outside the file");
        std::memcpy(image.pages->data() + (s.vmaddr - image.textVmaddr), file.data() + s.fileoff, s.filesize);
    }
    // The rebase opcodes: every pointer they name moves by the slide.
    auto rebaseAt = [&](uint64_t vmaddr) {
        uint64_t* p = reinterpret_cast<uint64_t*>(image.pages->data() + (vmaddr - image.textVmaddr));
        *p += image.slide();
    };
    uint64_t address = 0;
    for (size_t p = rebaseOff; p < size_t(rebaseOff) + rebaseSize;) {
        const uint8_t byte = get<uint8_t>(file, p++);
        const uint8_t op = byte & 0xF0, imm = byte & 0x0F;
        switch (op) {
            case 0x00: p = size_t(rebaseOff) + rebaseSize; break;  // done
            case 0x10: break;                                      // type: pointers only here
            case 0x20: address = segments.at(imm).vmaddr + uleb(file, &p); break;
            case 0x30: address += uleb(file, &p); break;
            case 0x40: address += uint64_t(imm) * 8; break;
            case 0x50:
                for (unsigned i = 0; i < imm; ++i, address += 8) rebaseAt(address);
                break;
            case 0x60:
                for (uint64_t n = uleb(file, &p); n > 0; --n, address += 8) rebaseAt(address);
                break;
            case 0x70:
                rebaseAt(address);
                address += 8 + uleb(file, &p);
                break;
            case 0x80: {
                const uint64_t n = uleb(file, &p), skip = uleb(file, &p);
                for (uint64_t i = 0; i < n; ++i, address += 8 + skip) rebaseAt(address);
                break;
            }
            default: throw std::runtime_error("unknown rebase opcode");
        }
    }
    return image;
}

// ---- byte writer ----

void Writer::u16(std::vector<uint8_t>& out, uint16_t v) const {
    if (swap) v = __builtin_bswap16(v);
    out.insert(out.end(), reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 2);
}
void Writer::u32(std::vector<uint8_t>& out, uint32_t v) const {
    if (swap) v = __builtin_bswap32(v);
    out.insert(out.end(), reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 4);
}
void Writer::u64(std::vector<uint8_t>& out, uint64_t v) const {
    if (swap) v = __builtin_bswap64(v);
    out.insert(out.end(), reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 8);
}
void Writer::put32(std::vector<uint8_t>& out, size_t at, uint32_t v) const {
    if (swap) v = __builtin_bswap32(v);
    std::memcpy(out.data() + at, &v, 4);
}
void Writer::put64(std::vector<uint8_t>& out, size_t at, uint64_t v) const {
    if (swap) v = __builtin_bswap64(v);
    std::memcpy(out.data() + at, &v, 8);
}

// ---- hand-made images ----

MachOBuilder::MachOBuilder(bool is64, bool swapped, uint32_t cputype, uint32_t cpusubtype)
    : is64_(is64), cputype_(cputype), cpusubtype_(cpusubtype) {
    writer_.swap = swapped;
    segments_.push_back({"__TEXT"});
}

size_t MachOBuilder::addSection(const std::string& segment, const std::string& name, size_t size) {
    Segment* seg = nullptr;
    for (auto& s : segments_) seg = s.name == segment ? &s : seg;
    if (seg == nullptr) seg = &segments_.emplace_back(Segment{segment});
    sections_.push_back({segment, name, std::vector<uint8_t>(size), 0});
    seg->sections.push_back(sections_.size() - 1);
    return sections_.size() - 1;
}

size_t MachOBuilder::commandsSize() const {
    size_t size = 0;
    for (const auto& s : segments_) size += (is64_ ? 72 : 56) + s.sections.size() * (is64_ ? 80 : 68);
    size += is64_ ? 72 : 56;  // __LINKEDIT
    size += 24;               // LC_SYMTAB
    if (dysymtab_) size += 80;
    if (!uuid_.empty()) size += 24;
    return size;
}

void MachOBuilder::layout() {
    uint64_t at = (is64_ ? 32 : 28) + commandsSize();
    for (auto& seg : segments_) {
        if (seg.name != "__TEXT") at = (at + 0xFFF) & ~uint64_t{0xFFF};
        seg.vmaddr = linkBase_ + (seg.name == "__TEXT" ? 0 : at);
        for (size_t i : seg.sections) {
            at = (at + 15) & ~uint64_t{15};
            sections_[i].addr = linkBase_ + at;
            at += sections_[i].data.size();
        }
        seg.vmsize = linkBase_ + at - seg.vmaddr;
    }
    linkeditAt_ = (at + 0xFFF) & ~uint64_t{0xFFF};
}

std::vector<uint8_t> MachOBuilder::build() const {
    const Writer& w = writer_;
    std::vector<uint8_t> symbols, strings{0};
    uint32_t nlocal = 0;
    for (const Symbol& s : symbols_) {
        w.u32(symbols, static_cast<uint32_t>(strings.size()));
        strings.insert(strings.end(), s.name.begin(), s.name.end());
        strings.push_back(0);
        w.u8(symbols, s.type);
        w.u8(symbols, s.sect);
        w.u16(symbols, s.desc);
        if (is64_) w.u64(symbols, s.value);
        else w.u32(symbols, static_cast<uint32_t>(s.value));
        if ((s.type & 1) == 0) ++nlocal;
    }
    const uint64_t symoff = linkeditAt_, stroff = symoff + symbols.size();
    const uint64_t end = stroff + strings.size();

    std::vector<uint8_t> out;
    auto name16 = [&](const std::string& name) {
        char field[16] = {};
        std::memcpy(field, name.data(), std::min<size_t>(16, name.size()));
        out.insert(out.end(), field, field + 16);
    };
    auto word = [&](uint64_t v) {
        if (is64_) w.u64(out, v);
        else w.u32(out, static_cast<uint32_t>(v));
    };
    w.u32(out, is64_ ? 0xFEEDFACF : 0xFEEDFACE);
    w.u32(out, cputype_);
    w.u32(out, cpusubtype_);
    w.u32(out, 6);  // a dylib
    const uint32_t ncmds = static_cast<uint32_t>(segments_.size() + 2 + (dysymtab_ ? 1 : 0) + (uuid_.empty() ? 0 : 1));
    w.u32(out, ncmds);
    w.u32(out, static_cast<uint32_t>(commandsSize()));
    w.u32(out, 0x85);
    if (is64_) w.u32(out, 0);
    auto segmentCommand = [&](const std::string& name, uint64_t vmaddr, uint64_t vmsize, const std::vector<size_t>& sects) {
        w.u32(out, is64_ ? 0x19 : 0x1);
        w.u32(out, static_cast<uint32_t>((is64_ ? 72 : 56) + sects.size() * (is64_ ? 80 : 68)));
        name16(name);
        word(vmaddr);
        word(vmsize);
        word(vmaddr - linkBase_);  // fileoff
        word(vmsize);              // filesize
        w.u32(out, 7);
        w.u32(out, name == "__TEXT" ? 5 : name == "__LINKEDIT" ? 1 : 3);
        w.u32(out, static_cast<uint32_t>(sects.size()));
        w.u32(out, 0);
        for (size_t i : sects) {
            const Section& s = sections_[i];
            name16(s.name);
            name16(s.segment);
            word(s.addr);
            word(s.data.size());
            w.u32(out, static_cast<uint32_t>(s.addr - linkBase_));
            w.u32(out, 4);
            for (int k = 0; k < (is64_ ? 6 : 5); ++k) w.u32(out, 0);
        }
    };
    for (const auto& seg : segments_) segmentCommand(seg.name, seg.vmaddr, seg.vmsize, seg.sections);
    segmentCommand("__LINKEDIT", linkBase_ + linkeditAt_, end - linkeditAt_, {});
    for (uint32_t v : {2u, 24u, uint32_t(symoff), uint32_t(symbols_.size()), uint32_t(stroff), uint32_t(strings.size())})
        w.u32(out, v);
    if (dysymtab_) {
        const uint32_t n = static_cast<uint32_t>(symbols_.size());
        for (uint32_t v : {0xBu, 80u, 0u, nlocal, nlocal, n - nlocal, n, 0u}) w.u32(out, v);
        for (int k = 0; k < 12; ++k) w.u32(out, 0);
    }
    if (!uuid_.empty()) {
        w.u32(out, 0x1B);
        w.u32(out, 24);
        out.insert(out.end(), uuid_.begin(), uuid_.end());
    }
    out.resize(end);
    for (const Section& s : sections_) std::memcpy(out.data() + (s.addr - linkBase_), s.data.data(), s.data.size());
    if (!symbols.empty()) std::memcpy(out.data() + symoff, symbols.data(), symbols.size());
    std::memcpy(out.data() + stroff, strings.data(), strings.size());
    return out;
}

}  // namespace machofixtures
