#include "crash/crash_image_list.h"

#include "crash/crash_dwarf.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

namespace {

// ".eh_frame_hdr" and the ".eh_frame" it indexes, up to the end of the
// loadable segment that holds it.
void describeUnwindTable(const crash_memory_map* map, uint64_t headerAddress, const Elf64_Ehdr& header, uint64_t bias,
                         uint64_t hdrAddress, uint64_t hdrSize, crash_image* image) {
    crash_mobject hdrView;
    if (hdrSize < 8 || crash_mobject_init(&hdrView, map, hdrAddress, hdrSize, true) != CRASH_ESUCCESS) return;
    crash_dwarf_eh_frame_hdr hdr;
    if (crash_dwarf_eh_frame_hdr_parse(&hdr, &hdrView, crash_async_byteorder_native(), true) != CRASH_ESUCCESS) return;
    for (uint32_t i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr phdr;
        if (crash_async_read(map, headerAddress, static_cast<int64_t>(header.e_phoff + i * sizeof phdr), &phdr,
                             sizeof phdr) != CRASH_ESUCCESS) {
            return;
        }
        uint64_t start = bias + phdr.p_vaddr;
        if (phdr.p_type != PT_LOAD || hdr.ehFrame < start || hdr.ehFrame - start >= phdr.p_filesz) continue;
        image->ehFrameHdr = hdrAddress;
        image->ehFrameHdrSize = hdrSize;
        image->ehFrame = hdr.ehFrame;
        image->ehFrameEnd = start + phdr.p_filesz;
        return;
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
    image->format = CRASH_IMAGE_FORMAT_ELF;
    image->header = headerAddress;
    image->bias = bias;
    image->dynamic = 0;
    image->buildIdLength = 0;
    image->cpuType = crash_host_cpu_type();
    image->cpuSubtype = crash_host_cpu_subtype();
    image->ehFrameHdr = image->ehFrameHdrSize = image->ehFrame = image->ehFrameEnd = 0;
    image->ehFrameHdrSorted = false;
    image->macho = nullptr;
    uint64_t noteAddress = 0, noteLength = 0;
    uint64_t hdrAddress = 0, hdrSize = 0;
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
        } else if (phdr.p_type == PT_GNU_EH_FRAME) {
            hdrAddress = bias + phdr.p_vaddr;
            hdrSize = phdr.p_memsz;
        }
    }
    if (!haveLoad || executableEnd <= base) return false;
    image->base = base;
    image->size = executableEnd - base;
    if (hdrAddress != 0) describeUnwindTable(map, headerAddress, header, bias, hdrAddress, hdrSize, image);
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
    : records_(std::make_unique<crash_image[]>(capacity)),
      states_(std::make_unique<std::atomic<uint32_t>[]>(capacity)),
      owned_(std::make_unique<std::unique_ptr<Owned>[]>(capacity)),
      capacity_(capacity) {
    for (uint32_t i = 0; i < capacity; ++i) states_[i].store(kFree, std::memory_order_relaxed);
}

namespace {

struct Found {
    uint64_t bias;
    uint64_t header;
    uint64_t dynamic;
    std::string name;
};

int collect(struct dl_phdr_info* info, size_t, void* context) {
    auto* found = static_cast<std::vector<Found>*>(context);
    uint64_t header = 0, dynamic = 0;
    bool haveHeader = false;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& phdr = info->dlpi_phdr[i];
        if (phdr.p_type == PT_LOAD && phdr.p_offset == 0 && !haveHeader) {
            header = info->dlpi_addr + phdr.p_vaddr;
            haveHeader = true;
        } else if (phdr.p_type == PT_DYNAMIC) {
            dynamic = info->dlpi_addr + phdr.p_vaddr;
        }
    }
    if (haveHeader) found->push_back({info->dlpi_addr, header, dynamic, info->dlpi_name ? info->dlpi_name : ""});
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

// The unwind table is searched at crash time only when it was found sound
// here: read in place, as the image is loaded and this is ordinary context.
bool unwindTableSorted(const crash_image& image) {
    if (image.ehFrameHdr == 0 || image.ehFrameEnd <= image.ehFrame) return false;
    crash_mobject hdrView, ehFrameView;
    crash_mobject_init_local(&hdrView, reinterpret_cast<const void*>(image.ehFrameHdr), image.ehFrameHdrSize);
    crash_mobject_init_local(&ehFrameView, reinterpret_cast<const void*>(image.ehFrame), image.ehFrameEnd - image.ehFrame);
    crash_dwarf_eh_frame_hdr hdr;
    return crash_dwarf_eh_frame_hdr_parse(&hdr, &hdrView, crash_async_byteorder_native(), true) == CRASH_ESUCCESS &&
           crash_dwarf_eh_frame_hdr_sorted(&hdr, &hdrView, crash_async_byteorder_native(), &ehFrameView);
}

// The load bias of the ELF image at `header`: the header's address minus the
// address its segment with file offset 0 asks for.
bool elfBias(uint64_t header, uint64_t* bias) {
    Elf64_Ehdr ehdr;
    if (crash_async_read(nullptr, header, 0, &ehdr, sizeof ehdr) != CRASH_ESUCCESS ||
        ehdr.e_phentsize != sizeof(Elf64_Phdr) || ehdr.e_phnum > kMaximumProgramHeaders) {
        return false;
    }
    for (uint32_t i = 0; i < ehdr.e_phnum; ++i) {
        Elf64_Phdr phdr;
        if (crash_async_read(nullptr, header, static_cast<int64_t>(ehdr.e_phoff + i * sizeof phdr), &phdr, sizeof phdr) !=
            CRASH_ESUCCESS) {
            return false;
        }
        if (phdr.p_type == PT_LOAD && phdr.p_offset == 0) {
            *bias = header - phdr.p_vaddr;
            return true;
        }
    }
    return false;
}

}  // namespace

bool crash_image_list::describe(uint64_t header, uint64_t bias, const std::string& path, crash_image* image,
                                Owned* owned) {
    uint32_t magic = 0;
    if (crash_async_read(nullptr, header, 0, &magic, sizeof magic) != CRASH_ESUCCESS) return false;
    owned->name = path;
    if (crash_macho_is_magic(magic)) {
        if (crash_macho_image_init(&owned->macho, nullptr, nullptr, header) != CRASH_ESUCCESS) return false;
        owned->macho.name = owned->name.c_str();
        *image = crash_image();
        image->format = CRASH_IMAGE_FORMAT_MACHO;
        image->header = header;
        image->base = header;
        image->size = owned->macho.textSize;
        image->bias = owned->macho.slide;
        image->cpuType = crash_macho_image_cpu_type(&owned->macho);
        image->cpuSubtype = crash_macho_image_cpu_subtype(&owned->macho);
        image->name = owned->name.c_str();
        if (crash_macho_image_uuid(&owned->macho, nullptr, image->buildId)) image->buildIdLength = 16;
        image->macho = &owned->macho;
        return true;
    }
    if (crash_async_memcmp(&magic, ELFMAG, SELFMAG) != 0) return false;
    if (!crash_image_describe(nullptr, bias, header, image)) return false;
    indexSymbols(owned->name, *image, &owned->symbols);
    image->name = owned->name.c_str();
    image->symbols = owned->symbols.symbols.data();
    image->symbolCount = static_cast<uint32_t>(owned->symbols.symbols.size());
    image->symbolNames = owned->symbols.names.data();
    image->ehFrameHdrSorted = unwindTableSorted(*image);
    return true;
}

bool crash_image_list::publish(const crash_image& image, std::unique_ptr<Owned> owned) {
    // A slot given back after its last reader let go, else a new one.
    uint32_t used = count_.load(std::memory_order_relaxed);
    uint32_t slot = used;
    for (uint32_t i = 0; i < used; ++i) {
        if (states_[i].load(std::memory_order_acquire) == kFree) {
            slot = i;
            break;
        }
    }
    if (slot >= capacity_) return false;
    records_[slot] = image;
    owned_[slot] = std::move(owned);
    states_[slot].store(kLive, std::memory_order_seq_cst);
    if (slot == used) count_.store(used + 1, std::memory_order_release);
    return true;
}

void crash_image_list::refresh() {
    std::lock_guard lock(refreshMutex_);
    std::vector<Found> found;
    dl_iterate_phdr(collect, &found);
    // Listed ELF images that are no longer loaded go (an image loaded at the
    // same place since is another image: its dynamic section tells it apart).
    uint32_t listed = count_.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < listed; ++i) {
        const crash_image& image = records_[i];
        if (!live(i) || image.format != CRASH_IMAGE_FORMAT_ELF) continue;
        bool loaded = std::any_of(found.begin(), found.end(), [&](const Found& candidate) {
            return candidate.header == image.header && candidate.bias == image.bias && candidate.dynamic == image.dynamic;
        });
        if (!loaded) removeLocked(i);
    }
    bool first = true;
    for (Found& candidate : found) {
        bool isProgram = first;
        first = false;
        bool known = false;
        uint32_t used = count_.load(std::memory_order_relaxed);
        for (uint32_t i = 0; i < used && !known; ++i) {
            known = live(i) && records_[i].header == candidate.header && records_[i].bias == candidate.bias &&
                    records_[i].dynamic == candidate.dynamic;
        }
        if (known) continue;
        auto owned = std::make_unique<Owned>();
        crash_image image;
        std::string name = candidate.name.empty() && isProgram ? programPath() : candidate.name;
        if (!describe(candidate.header, candidate.bias, name, &image, owned.get())) continue;
        if (!publish(image, std::move(owned))) return;
    }
}

bool crash_image_list::append(uint64_t header, const char* path) {
    std::lock_guard lock(refreshMutex_);
    uint32_t magic = 0;
    if (crash_async_read(nullptr, header, 0, &magic, sizeof magic) != CRASH_ESUCCESS) return false;
    uint64_t bias = 0;
    if (!crash_macho_is_magic(magic) && !elfBias(header, &bias)) return false;
    auto owned = std::make_unique<Owned>();
    crash_image image;
    if (!describe(header, bias, path ? path : "", &image, owned.get())) return false;
    return publish(image, std::move(owned));
}

bool crash_image_list::remove(uint64_t header) {
    std::lock_guard lock(refreshMutex_);
    uint32_t used = count_.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < used; ++i) {
        if (!live(i) || records_[i].header != header) continue;
        removeLocked(i);
        return true;
    }
    return false;
}

void crash_image_list::removeLocked(uint32_t index) {
    states_[index].store(kRemoved, std::memory_order_seq_cst);
    // With no reader the slot is free at once; otherwise the last reader to let
    // go frees it.
    if (readers_.load(std::memory_order_seq_cst) == 0) {
        uint32_t removed = kRemoved;
        states_[index].compare_exchange_strong(removed, kFree, std::memory_order_seq_cst);
    }
}

void crash_image_list::setReading(bool reading) {
    if (reading) {
        readers_.fetch_add(1, std::memory_order_seq_cst);
        return;
    }
    if (readers_.fetch_sub(1, std::memory_order_seq_cst) != 1) return;
    // The last reader: removed records may be taken again (their memory stays
    // until a later append, in ordinary context, replaces it).
    uint32_t used = count();
    for (uint32_t i = 0; i < used; ++i) {
        uint32_t removed = kRemoved;
        states_[i].compare_exchange_strong(removed, kFree, std::memory_order_seq_cst);
    }
}

const crash_image* crash_image_list::find(uint64_t address, uint32_t generation) const {
    uint32_t listed = count();
    for (uint32_t i = 0; i < listed; ++i) {
        if (!live(i)) continue;
        const crash_image& image = records_[i];
        if (generation != 0 && image.reportGeneration != generation) continue;
        if (image.contains(address)) return &image;
    }
    if (generation == 0 || generation != lateGeneration_) return nullptr;
    for (uint32_t i = 0; i < lateCount_; ++i) {
        if (late_[i].image.contains(address)) return &late_[i].image;
    }
    return nullptr;
}

bool crash_image_list::reserveLate() {
    if (late_) return true;
    void* room = mmap(nullptr, sizeof(crash_image_stack_record) * kLateCapacity, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED) return false;
    late_ = static_cast<crash_image_stack_record*>(room);
    return true;
}

const crash_image* crash_image_list::addLate(const crash_memory_map* map, uint64_t bias, uint64_t name, uint64_t dynamic,
                                             uint32_t generation) {
    if (!late_) return nullptr;
    if (lateGeneration_ != generation) clearLate();
    lateGeneration_ = generation;
    if (lateCount_ >= kLateCapacity) return nullptr;
    crash_image_stack_record& record = late_[lateCount_];
    // The record is plain memory: every field the writer reads is set here.
    crash_async_memset(&record.image, 0, sizeof record.image);
    record.image.fileSymbols.fd = -1;
    if (!crash_image_describe(map, bias, bias, &record.image) || record.image.dynamic != dynamic) return nullptr;
    record.name[0] = '\0';
    for (uint32_t i = 0; i + 1 < sizeof record.name; ++i) {
        if (crash_async_read(map, name, i, &record.name[i], 1) != CRASH_ESUCCESS) {
            record.name[i] = '\0';
            break;
        }
        if (record.name[i] == '\0') break;
        record.name[i + 1] = '\0';
    }
    record.image.name = record.name;
    crash_elf_file_symbols_open(&record.image.fileSymbols, record.name, record.image.buildId,
                                record.image.buildIdLength);
    record.image.reportGeneration = generation;
    ++lateCount_;
    return &record.image;
}

const crash_image* crash_image_list::findLate(uint64_t bias, uint64_t dynamic, uint32_t generation) const {
    if (generation == 0 || generation != lateGeneration_) return nullptr;
    for (uint32_t i = 0; i < lateCount_; ++i) {
        if (late_[i].image.bias == bias && late_[i].image.dynamic == dynamic) return &late_[i].image;
    }
    return nullptr;
}

void crash_image_list::clearLate() {
    for (uint32_t i = 0; i < lateCount_; ++i) crash_elf_file_symbols_close(&late_[i].image.fileSymbols);
    lateCount_ = 0;
    lateGeneration_ = 0;
}

}  // namespace strombel::crash
