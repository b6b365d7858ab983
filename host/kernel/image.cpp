#include "host/kernel/image.h"

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <vector>

#include "host/kernel/image_exports.h"
#include "host/kernel/kernel.h"

namespace host {

namespace {

constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kMagicPe32 = 0x010B;
constexpr std::uint16_t kSubsystemNative = 1;
constexpr std::uint32_t kSectionExecute = 0x20000000;
constexpr std::uint32_t kSectionWrite = 0x80000000;
constexpr std::uint32_t kOrdinalFlag = 0x80000000;
constexpr std::size_t kLargestFile = 16 << 20;
constexpr std::uint32_t kLargestImage = 64 << 20;
enum Directory { kExportDirectory = 0, kImportDirectory = 1, kRelocationDirectory = 5 };
constexpr std::uint16_t kRelocationAbsolute = 0;
constexpr std::uint16_t kRelocationHighLow = 3;

// The dynamic-link call of a Windows 9x driver: INT 20h and a doubleword,
// the device in its high word, the service in its low word with bit 15 set
// for a jump rather than a call. The system rewrites the six bytes into an
// indirect jump (FF 25) or call (FF 15) through the service's entry the
// first time the call runs.
constexpr std::uint8_t kInt = 0xCD;
constexpr std::uint8_t kDynamicLinkInterrupt = 0x20;
constexpr std::uint16_t kJumpFlag = 0x8000;

std::string machine_name(std::uint16_t machine) {
    switch (machine) {
    case 0x8664: return "x86-64";
    case 0xAA64: return "ARM64";
    case 0x01C0: case 0x01C4: return "ARM";
    case 0x0200: return "IA-64";
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04X", machine);
    return hex;
}

// A routine of the image by the linker's name for it (the map gives C++
// names demangled): the __stdcall/__fastcall decorations taken off.
std::string routine_name(std::string symbol) {
    if (!symbol.empty() && symbol[0] == '@') symbol.erase(0, 1);
    if (std::size_t at = symbol.rfind('@'); at != std::string::npos && at > 0 && at + 1 < symbol.size() &&
        std::all_of(symbol.begin() + static_cast<std::ptrdiff_t>(at) + 1, symbol.end(),
                    [](char c) { return c >= '0' && c <= '9'; })) {
        symbol.erase(at);
    }
    return symbol;
}

// Little-endian fields of a file or a mapped image, each read only after the
// caller has checked that it lies inside (`holds`).
struct Bytes {
    const std::uint8_t* data;
    std::size_t size;

    bool holds(std::size_t at, std::size_t count) const { return at <= size && count <= size - at; }
    std::uint16_t u16(std::size_t at) const { return static_cast<std::uint16_t>(data[at] | data[at + 1] << 8); }
    std::uint32_t u32(std::size_t at) const {
        return static_cast<std::uint32_t>(u16(at)) | static_cast<std::uint32_t>(u16(at + 2)) << 16;
    }
    // The NUL-terminated string at `at`, or null when it runs off the end.
    const char* string(std::size_t at) const {
        if (at >= size) return nullptr;
        return std::memchr(data + at, 0, size - at) != nullptr ? reinterpret_cast<const char*>(data + at) : nullptr;
    }
};

class LoadedImage;
// The images mapped now, for the fault handler. They change only while no
// image code runs (a world's start and end, on the thread that builds it).
std::vector<const LoadedImage*> g_images;

void on_fault(int signal, siginfo_t* info, void* context);

void install_fault_handler() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction action {};
    action.sa_sigaction = on_fault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGSEGV, SIGILL, SIGFPE, SIGBUS}) sigaction(signal, &action, nullptr);
}

class LoadedImage {
public:
    LoadedImage(std::string name, std::uint8_t* base, std::uint32_t size) : m_name(std::move(name)), m_base(base), m_size(size) {}
    ~LoadedImage() {
        std::erase(g_images, this);
        munmap(m_base, m_size);
    }
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;

    std::uint8_t* base() const { return m_base; }
    // The image's bytes, by their relative addresses.
    Bytes bytes() const { return {m_base, m_size}; }
    bool contains(std::uintptr_t address) const {
        return address >= reinterpret_cast<std::uintptr_t>(m_base) && address - reinterpret_cast<std::uintptr_t>(m_base) < m_size;
    }

    void add_symbol(std::uint32_t rva, std::string name) { m_symbols.push_back({rva, std::move(name)}); }
    void sort_symbols() { std::sort(m_symbols.begin(), m_symbols.end()); }
    void add_code(std::uint32_t rva, std::uint32_t size) { m_code.push_back({rva, size}); }
    bool in_code(std::uint32_t rva) const {
        return std::any_of(m_code.begin(), m_code.end(),
                           [&](const auto& range) { return rva >= range.first && rva - range.first < range.second; });
    }

    // "TORVEX.SYS!Routine+0x1c": the routine of the code at `address`.
    std::string where(std::uintptr_t address) const {
        const auto rva = static_cast<std::uint32_t>(address - reinterpret_cast<std::uintptr_t>(m_base));
        auto after = std::upper_bound(m_symbols.begin(), m_symbols.end(), std::make_pair(rva, std::string("\xff")));
        char text[256];
        if (after == m_symbols.begin()) {
            std::snprintf(text, sizeof text, "%s+0x%" PRIx32, m_name.c_str(), rva);
        } else {
            const auto& [start, name] = *std::prev(after);
            std::snprintf(text, sizeof text, "%s!%s+0x%" PRIx32, m_name.c_str(), name.c_str(), rva - start);
        }
        return text;
    }

    // The dynamic-link call at `address`, patched to go through its
    // service's entry; false when it is none, or names a service the host
    // does not provide (`*refused` says which).
    bool link_dynamic_call(std::uintptr_t address, std::string* refused) const {
        const auto rva = static_cast<std::uint32_t>(address - reinterpret_cast<std::uintptr_t>(m_base));
        if (!in_code(rva) || !bytes().holds(rva, 6) || m_base[rva] != kInt || m_base[rva + 1] != kDynamicLinkInterrupt) {
            return false;
        }
        const std::uint32_t operand = bytes().u32(rva + 2);
        const auto device = static_cast<std::uint16_t>(operand >> 16);
        const auto service = static_cast<std::uint16_t>(operand & ~kJumpFlag & 0xFFFF);
        void* const* entry = vxd_service(device, service);
        if (entry == nullptr) {
            char text[160];
            std::snprintf(text, sizeof text, "a dynamic-link call to VxD 0x%04X service 0x%04X, which the host does not provide",
                          device, service);
            *refused = text;
            return false;
        }
        std::uint8_t patch[6] = {0xFF, static_cast<std::uint8_t>(operand & kJumpFlag ? 0x25 : 0x15)};
        const auto slot = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(entry));
        std::memcpy(patch + 2, &slot, sizeof slot);
        const long page = sysconf(_SC_PAGESIZE);
        auto first = reinterpret_cast<std::uintptr_t>(m_base + rva) & ~static_cast<std::uintptr_t>(page - 1);
        auto span = reinterpret_cast<std::uintptr_t>(m_base + rva + sizeof patch) - first;
        mprotect(reinterpret_cast<void*>(first), span, PROT_READ | PROT_WRITE | PROT_EXEC);
        std::memcpy(m_base + rva, patch, sizeof patch);
        mprotect(reinterpret_cast<void*>(first), span, PROT_READ | PROT_EXEC);
        return true;
    }

    std::vector<MODULE_EXPORT> exports;
    std::vector<const char*> imports;  // the imported names, ended by a null

private:
    std::string m_name;
    std::uint8_t* m_base;
    std::uint32_t m_size;
    std::vector<std::pair<std::uint32_t, std::string>> m_symbols;  // by address
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_code;   // executable sections: start and size
};

void on_fault(int signal, siginfo_t* info, void* context) {
    auto* machine = static_cast<ucontext_t*>(context);
    const auto eip = static_cast<std::uintptr_t>(machine->uc_mcontext.gregs[REG_EIP]);
    auto image = std::find_if(g_images.begin(), g_images.end(), [&](const LoadedImage* i) { return i->contains(eip); });
    if (image == g_images.end()) {
        // Not the image's: the fault takes its ordinary course.
        ::signal(signal, SIG_DFL);
        return;
    }
    std::string refused;
    if (signal == SIGSEGV && (*image)->link_dynamic_call(eip, &refused)) return;
    std::string what = refused;
    if (what.empty()) {
        char text[96];
        switch (signal) {
        case SIGSEGV:
            std::snprintf(text, sizeof text, "an access violation at 0x%08" PRIxPTR,
                          reinterpret_cast<std::uintptr_t>(info->si_addr));
            break;
        case SIGFPE: std::snprintf(text, sizeof text, "an arithmetic fault (division by zero or overflow)"); break;
        case SIGILL: std::snprintf(text, sizeof text, "an illegal instruction"); break;
        default: std::snprintf(text, sizeof text, "a bus error at 0x%08" PRIxPTR, reinterpret_cast<std::uintptr_t>(info->si_addr));
        }
        what = text;
    }
    bug_check(Check::DriverFault, what + " in " + (*image)->where(eip));
}

// The routines the linker's map file places in the image's code: its lines
// "0xADDRESS  NAME" that fall inside it, at the base the image was linked for
// (not a section's line, "0xADDRESS 0xSIZE FILE", nor an assignment).
void read_map(const std::string& path, std::uint32_t image_base, LoadedImage& image) {
    std::ifstream map(path);
    if (!map) return;
    static const std::regex symbol(R"(^\s+0x([0-9a-fA-F]+)\s+([A-Za-z_@?][^=]*?)\s*$)");
    std::string line;
    std::smatch match;
    while (std::getline(map, line)) {
        if (!std::regex_match(line, match, symbol)) continue;
        const std::uint64_t address = std::stoull(match[1].str(), nullptr, 16);
        if (address < image_base) continue;
        const auto rva = static_cast<std::uint32_t>(address - image_base);
        if (image.in_code(rva)) image.add_symbol(rva, routine_name(match[2].str()));
    }
}

struct Section {
    char name[9];
    std::uint32_t virtual_size, virtual_address, raw_size, raw_offset, characteristics;
};

std::string basename_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<Module> load_image(const std::string& path, std::string* error) {
    const std::string name = basename_of(path);
    auto refuse = [&](const std::string& why) {
        *error = path + ": " + why;
        return std::nullopt;
    };
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) return refuse(std::string("cannot open it: ") + std::strerror(errno));
    const std::streamoff length = file.tellg();
    if (length < 0 || static_cast<std::uint64_t>(length) > kLargestFile) return refuse("larger than 16 MB: not a driver image");
    std::vector<std::uint8_t> data(static_cast<std::size_t>(length));
    file.seekg(0);
    if (!file.read(reinterpret_cast<char*>(data.data()), length)) return refuse("cannot read it");

    // The headers: MS-DOS stub, PE signature, file header, optional header.
    const Bytes in{data.data(), data.size()};
    if (!in.holds(0, 64) || in.u16(0) != 0x5A4D) return refuse("not an executable image (no MZ header)");
    const std::uint32_t pe = in.u32(0x3C);
    if (!in.holds(pe, 24) || in.u32(pe) != 0x00004550) return refuse("not a PE image (no PE signature)");
    const std::uint16_t machine = in.u16(pe + 4);
    if (machine != kMachineI386) return refuse("built for machine " + machine_name(machine) + ", not i386: it cannot run here");
    const std::uint16_t section_count = in.u16(pe + 6);
    const std::uint16_t optional_size = in.u16(pe + 20);
    const std::size_t optional = pe + 24;
    if (optional_size < 96 || !in.holds(optional, optional_size)) return refuse("its optional header is cut short");
    if (in.u16(optional) != kMagicPe32) return refuse("not a 32-bit (PE32) image");
    const std::uint32_t entry_rva = in.u32(optional + 16);
    const std::uint32_t image_base = in.u32(optional + 28);
    const std::uint32_t section_alignment = in.u32(optional + 32);
    const std::uint32_t image_size = in.u32(optional + 56);
    const std::uint32_t headers_size = in.u32(optional + 60);
    const std::uint16_t subsystem = in.u16(optional + 68);
    const std::uint32_t directory_count = std::min<std::uint32_t>(in.u32(optional + 92), (optional_size - 96) / 8);
    if (subsystem != kSubsystemNative) return refuse("not a driver (subsystem " + std::to_string(subsystem) + ", not native)");
    const auto page = static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE));
    if (section_alignment == 0 || section_alignment % page != 0) {
        return refuse("its sections are aligned to " + std::to_string(section_alignment) + " bytes, not to whole pages");
    }
    if (image_size == 0 || image_size > kLargestImage || headers_size > image_size || !in.holds(0, headers_size)) {
        return refuse("its sizes do not fit: image " + std::to_string(image_size) + " bytes, headers " +
                      std::to_string(headers_size));
    }
    auto directory = [&](int index) -> std::pair<std::uint32_t, std::uint32_t> {
        if (static_cast<std::uint32_t>(index) >= directory_count) return {0, 0};
        return {in.u32(optional + 96 + 8 * index), in.u32(optional + 96 + 8 * index + 4)};
    };
    std::vector<Section> sections;
    const std::size_t table = optional + optional_size;
    if (!in.holds(table, std::size_t{40} * section_count)) return refuse("its section table is cut short");
    for (std::uint16_t i = 0; i < section_count; ++i) {
        const std::size_t at = table + 40 * i;
        Section s{};
        std::memcpy(s.name, &data[at], 8);
        s.virtual_size = in.u32(at + 8);
        s.virtual_address = in.u32(at + 12);
        s.raw_size = in.u32(at + 16);
        s.raw_offset = in.u32(at + 20);
        s.characteristics = in.u32(at + 36);
        const std::uint32_t span = std::max(s.virtual_size, s.raw_size);
        if (s.virtual_address % section_alignment != 0 || s.virtual_address < headers_size ||
            s.virtual_address > image_size || span > image_size - s.virtual_address ||
            (s.raw_size != 0 && !in.holds(s.raw_offset, s.raw_size))) {
            return refuse(std::string("section ") + s.name + " lies outside the image or the file");
        }
        // Nothing public says that Windows 98's loader fills uninitialised
        // data with zeros: an image's globals carry theirs in the file.
        if (s.virtual_size > s.raw_size) {
            return refuse(std::string("section ") + s.name + " has " + std::to_string(s.virtual_size - s.raw_size) +
                          " bytes without file data (uninitialised data)");
        }
        sections.push_back(s);
    }

    // The mapping, zero-filled, with the headers and each section's data.
    void* mapped = mmap(nullptr, image_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return refuse(std::string("cannot map it: ") + std::strerror(errno));
    auto image = std::make_shared<LoadedImage>(name, static_cast<std::uint8_t*>(mapped), image_size);
    std::memcpy(image->base(), data.data(), headers_size);
    for (const Section& s : sections) {
        if (s.raw_size != 0) std::memcpy(image->base() + s.virtual_address, &data[s.raw_offset], s.raw_size);
        if (s.characteristics & kSectionExecute) image->add_code(s.virtual_address, std::max(s.virtual_size, s.raw_size));
    }

    // Base relocations, for the place the image got.
    const Bytes view = image->bytes();
    const std::uint32_t delta = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(image->base())) - image_base;
    auto [relocations, relocations_size] = directory(kRelocationDirectory);
    if (delta != 0 && relocations_size == 0) return refuse("it has no relocations, and cannot be placed at its own base");
    if (!view.holds(relocations, relocations_size)) return refuse("its relocations lie outside the image");
    for (std::uint32_t block = relocations; block + 8 <= relocations + relocations_size;) {
        const std::uint32_t page_rva = view.u32(block);
        const std::uint32_t block_size = view.u32(block + 4);
        if (block_size < 8 || block_size > relocations + relocations_size - block) return refuse("a relocation block is malformed");
        for (std::uint32_t entry = block + 8; entry + 2 <= block + block_size; entry += 2) {
            const std::uint16_t value = view.u16(entry);
            const std::uint16_t type = value >> 12;
            if (type == kRelocationAbsolute) continue;
            if (type != kRelocationHighLow) return refuse("a relocation of type " + std::to_string(type) + ", which i386 has not");
            const std::uint32_t target = page_rva + (value & 0x0FFF);
            if (!view.holds(target, 4)) return refuse("a relocation lies outside the image");
            const std::uint32_t fixed = view.u32(target) + delta;
            std::memcpy(image->base() + target, &fixed, sizeof fixed);
        }
        block += block_size;
    }

    // Imports, each bound by name to the host's export of its module.
    const std::span<const ImageExport> exports = image_exports();
    auto [imports, imports_size] = directory(kImportDirectory);
    std::string refused;
    for (std::uint32_t descriptor = imports; imports_size != 0; descriptor += 20) {
        if (!view.holds(descriptor, 20)) return refuse("its import directory runs off the image");
        const std::uint32_t lookup = view.u32(descriptor) != 0 ? view.u32(descriptor) : view.u32(descriptor + 16);
        const std::uint32_t bound = view.u32(descriptor + 16);
        const std::uint32_t module_rva = view.u32(descriptor + 12);
        if (module_rva == 0 && bound == 0) break;
        const char* module = view.string(module_rva);
        if (module == nullptr) return refuse("an imported module's name runs off the image");
        for (std::uint32_t i = 0;; ++i) {
            if (!view.holds(lookup + 4 * i, 4) || !view.holds(bound + 4 * i, 4)) return refuse("an import table runs off the image");
            const std::uint32_t thunk = view.u32(lookup + 4 * i);
            if (thunk == 0) break;
            if (thunk & kOrdinalFlag) {
                refused += name + " imports ordinal " + std::to_string(thunk & 0xFFFF) + " from " + module +
                           ": the loader binds imports by name only\n";
                continue;
            }
            const char* routine = view.string(thunk + 2);
            if (routine == nullptr) return refuse("an imported routine's name runs off the image");
            auto found = std::find_if(exports.begin(), exports.end(), [&](const ImageExport& e) {
                return strcasecmp(e.module, module) == 0 && std::strcmp(e.name, routine) == 0;
            });
            if (found == exports.end()) {
                const bool known = std::any_of(exports.begin(), exports.end(),
                                               [&](const ImageExport& e) { return strcasecmp(e.module, module) == 0; });
                refused += name + " imports " + routine + " from " + module +
                           (!known ? ", a module Windows 98 SE does not give drivers\n"
                            : Module::platform_exports(routine) ? ", which this host does not emulate\n"
                                                                : ", which Windows 98 SE does not export\n");
                continue;
            }
            const auto address = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(found->address));
            std::memcpy(image->base() + bound + 4 * i, &address, sizeof address);
            image->imports.push_back(routine);
        }
    }
    if (!refused.empty()) {
        refused.pop_back();
        return refuse(refused);
    }
    image->imports.push_back(nullptr);

    // The export directory, as the module's export table.
    auto [exported, exported_size] = directory(kExportDirectory);
    if (exported_size != 0) {
        if (!view.holds(exported, 40)) return refuse("its export directory lies outside the image");
        const std::uint32_t base_ordinal = view.u32(exported + 16);
        const std::uint32_t function_count = view.u32(exported + 20);
        const std::uint32_t name_count = view.u32(exported + 24);
        const std::uint32_t functions = view.u32(exported + 28);
        const std::uint32_t names = view.u32(exported + 32);
        const std::uint32_t ordinals = view.u32(exported + 36);
        if (function_count > image_size / 4 || name_count > image_size / 4 || !view.holds(functions, 4 * function_count) ||
            !view.holds(names, 4 * name_count) || !view.holds(ordinals, 2 * name_count)) {
            return refuse("its export directory lies outside the image");
        }
        for (std::uint32_t i = 0; i < name_count; ++i) {
            const char* export_name = view.string(view.u32(names + 4 * i));
            const std::uint16_t index = view.u16(ordinals + 2 * i);
            if (export_name == nullptr || index >= function_count) return refuse("an export lies outside the image");
            const std::uint32_t rva = view.u32(functions + 4 * index);
            if (!image->in_code(rva)) return refuse(std::string("its export ") + export_name + " is not in its code");
            image->exports.push_back(
                {export_name, static_cast<USHORT>(base_ordinal + index), image->base() + rva});
            image->add_symbol(rva, export_name);
        }
    }
    if (!image->in_code(entry_rva)) return refuse("its entry point is not in its code");

    // The sections' protections: code runs and is not written (but for the
    // dynamic-link calls, patched once each), data is written and does not run.
    mprotect(image->base(), headers_size, PROT_READ);
    for (const Section& s : sections) {
        const int protection = s.characteristics & kSectionExecute ? PROT_READ | PROT_EXEC
                               : s.characteristics & kSectionWrite ? PROT_READ | PROT_WRITE
                                                                   : PROT_READ;
        mprotect(image->base() + s.virtual_address, std::max(s.virtual_size, s.raw_size), protection);
    }

    std::string map = path;
    if (std::size_t dot = map.rfind('.'); dot != std::string::npos && dot > map.rfind('/') + 1) map.erase(dot);
    read_map(map + ".map", image_base, *image);
    image->sort_symbols();
    install_fault_handler();
    g_images.push_back(image.get());

    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(image->base() + entry_rva);
    return Module(name, entry, image->exports, image->imports.data(), image);
}

}  // namespace host
