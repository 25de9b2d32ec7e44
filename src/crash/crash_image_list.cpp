#include "crash/crash_image_list.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <span>
#include <string>

namespace strombel::crash {
namespace {

constexpr uint64_t kPageMask = ~uint64_t{4095};
constexpr uint32_t kMaximumProgramHeaders = 128;
constexpr uint64_t kMaximumNoteBytes = 64 * 1024;

void readBuildId(const crash_memory_map* map, uint64_t address, uint64_t length, crash_image* image) {
    if (length > kMaximumNoteBytes) length = kMaximumNoteBytes;
    uint64_t offset = 0;
    while (offset + sizeof(Elf64_Nhdr) <= length) {
        Elf64_Nhdr note;
        if (crash_async_read(map, address, static_cast<int64_t>(offset), &note, sizeof note) != CRASH_ESUCCESS) return;
        uint64_t nameSize = (uint64_t{note.n_namesz} + 3) & ~uint64_t{3};
        uint64_t descSize = (uint64_t{note.n_descsz} + 3) & ~uint64_t{3};
        uint64_t descOffset = offset + sizeof note + nameSize;
        if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && note.n_descsz > 0 && descOffset + note.n_descsz <= length) {
            char name[4];
            if (crash_async_read(map, address, static_cast<int64_t>(offset + sizeof note), name, 4) == CRASH_ESUCCESS &&
                crash_async_memcmp(name, "GNU", 4) == 0) {
                uint32_t count = note.n_descsz < CRASH_IMAGE_BUILD_ID_MAX ? note.n_descsz : CRASH_IMAGE_BUILD_ID_MAX;
                if (crash_async_read(map, address, static_cast<int64_t>(descOffset), image->buildId, count) == CRASH_ESUCCESS) {
                    image->buildIdLength = count;
                }
                return;
            }
        }
        if (descOffset + descSize <= offset) return;
        offset = descOffset + descSize;
    }
}

}  // namespace

bool crash_image_describe(const crash_memory_map* map, uint64_t bias, uint64_t headerAddress, crash_image* image) {
    Elf64_Ehdr header;
    if (crash_async_read(map, headerAddress, 0, &header, sizeof header) != CRASH_ESUCCESS) return false;
    if (crash_async_memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) return false;
    if (header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum == 0 || header.e_phnum > kMaximumProgramHeaders) {
        return false;
    }
    bool haveLoad = false;
    uint64_t base = 0, executableEnd = 0;
    image->bias = bias;
    image->dynamic = 0;
    image->buildIdLength = 0;
    uint64_t noteAddress = 0, noteLength = 0;
    for (uint32_t i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr phdr;
        if (crash_async_read(map, headerAddress, static_cast<int64_t>(header.e_phoff + i * sizeof phdr), &phdr,
                             sizeof phdr) != CRASH_ESUCCESS) {
            return false;
        }
        if (phdr.p_type == PT_LOAD) {
            if (!haveLoad) base = (bias + phdr.p_vaddr) & kPageMask;
            haveLoad = true;
            if (phdr.p_flags & PF_X) executableEnd = bias + phdr.p_vaddr + phdr.p_memsz;
        } else if (phdr.p_type == PT_DYNAMIC) {
            image->dynamic = bias + phdr.p_vaddr;
        } else if (phdr.p_type == PT_NOTE && image->buildIdLength == 0) {
            noteAddress = bias + phdr.p_vaddr;
            noteLength = phdr.p_filesz;
            readBuildId(map, noteAddress, noteLength, image);
        }
    }
    if (!haveLoad || executableEnd <= base) return false;
    image->base = base;
    image->size = executableEnd - base;
    return true;
}

bool crash_link_map_walk(const crash_memory_map* map, uint32_t limit,
                         bool (*visit)(uint64_t bias, uint64_t name, uint64_t dynamic, void* context), void* context) {
    uint64_t node = 0;
    if (crash_async_read(map, reinterpret_cast<uint64_t>(&_r_debug), offsetof(struct r_debug, r_map), &node,
                         sizeof node) != CRASH_ESUCCESS) {
        return false;
    }
    for (uint32_t i = 0; node != 0 && i < limit; ++i) {
        struct link_map entry;
        if (crash_async_read(map, node, 0, &entry, sizeof entry) != CRASH_ESUCCESS) return false;
        if (!visit(entry.l_addr, reinterpret_cast<uint64_t>(entry.l_name), reinterpret_cast<uint64_t>(entry.l_ld), context)) {
            return true;
        }
        node = reinterpret_cast<uint64_t>(entry.l_next);
    }
    return true;
}

crash_image_list::crash_image_list(uint32_t capacity)
    : records_(std::make_unique<crash_image[]>(capacity)), capacity_(capacity) {}

namespace {

struct Found {
    uint64_t bias;
    uint64_t header;
    std::string name;
};

int collect(struct dl_phdr_info* info, size_t, void* context) {
    auto* found = static_cast<std::vector<Found>*>(context);
    uint64_t header = 0;
    bool haveHeader = false;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& phdr = info->dlpi_phdr[i];
        if (phdr.p_type == PT_LOAD && phdr.p_offset == 0) {
            header = info->dlpi_addr + phdr.p_vaddr;
            haveHeader = true;
            break;
        }
    }
    if (haveHeader) found->push_back({info->dlpi_addr, header, info->dlpi_name ? info->dlpi_name : ""});
    return 0;
}

std::string programPath() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

// The symbols of the file at `path`, or of the image's own bytes when there is
// no file (the kernel's vDSO lies whole in memory).
void indexSymbols(const std::string& path, const crash_image& image, ElfSymbols* symbols) {
    if (!path.empty() && path[0] == '/') {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        struct stat status;
        if (fstat(fd, &status) == 0 && status.st_size > 0) {
            size_t size = static_cast<size_t>(status.st_size);
            void* bytes = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
            if (bytes != MAP_FAILED) {
                crash_elf_read_symbols(std::span(static_cast<const uint8_t*>(bytes), size), symbols);
                munmap(bytes, size);
            }
        }
        close(fd);
        return;
    }
    if (image.size > 0 && image.size <= 1024 * 1024) {
        crash_elf_read_symbols(std::span(reinterpret_cast<const uint8_t*>(image.base), image.size), symbols);
    }
}

}  // namespace

void crash_image_list::refresh() {
    std::lock_guard lock(refreshMutex_);
    std::vector<Found> found;
    dl_iterate_phdr(collect, &found);
    bool first = true;
    for (Found& candidate : found) {
        bool isProgram = first;
        first = false;
        uint32_t listed = count_.load(std::memory_order_relaxed);
        if (listed >= capacity_) return;
        crash_image image;
        if (!crash_image_describe(nullptr, candidate.bias, candidate.header, &image)) continue;
        bool known = false;
        for (uint32_t i = 0; i < listed && !known; ++i) {
            known = records_[i].base == image.base && records_[i].dynamic == image.dynamic;
        }
        if (known) continue;
        auto owned = std::make_unique<Owned>();
        owned->name = candidate.name.empty() && isProgram ? programPath() : candidate.name;
        indexSymbols(owned->name, image, &owned->symbols);
        image.name = owned->name.c_str();
        image.symbols = owned->symbols.symbols.data();
        image.symbolCount = static_cast<uint32_t>(owned->symbols.symbols.size());
        image.symbolNames = owned->symbols.names.data();
        owned_.push_back(std::move(owned));
        records_[listed] = image;
        count_.store(listed + 1, std::memory_order_release);
    }
}

const crash_image* crash_image_list::find(uint64_t address, uint32_t generation) const {
    uint32_t listed = count();
    for (uint32_t i = 0; i < listed; ++i) {
        const crash_image& image = records_[i];
        if (generation != 0 && image.reportGeneration != generation) continue;
        if (image.contains(address)) return &image;
    }
    return nullptr;
}

}  // namespace strombel::crash
