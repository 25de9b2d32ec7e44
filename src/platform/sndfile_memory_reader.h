#pragma once

// libsndfile's reading side over bytes in memory, for sound that arrives as
// bytes (the clipboard, a download) rather than as a file.

#include <sndfile.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

namespace strombel::platform {

/// libsndfile's reading side over bytes in memory.
struct SndFileMemoryReader {
    std::span<const uint8_t> bytes;
    sf_count_t position = 0;

    static SF_VIRTUAL_IO io() {
        SF_VIRTUAL_IO io{};
        io.get_filelen = [](void* self) { return sf_count_t(static_cast<SndFileMemoryReader*>(self)->bytes.size()); };
        io.seek = [](sf_count_t offset, int whence, void* self) {
            auto& reader = *static_cast<SndFileMemoryReader*>(self);
            const sf_count_t size = sf_count_t(reader.bytes.size());
            sf_count_t to = whence == SEEK_SET ? offset : whence == SEEK_CUR ? reader.position + offset : size + offset;
            reader.position = std::clamp<sf_count_t>(to, 0, size);
            return reader.position;
        };
        io.read = [](void* out, sf_count_t count, void* self) {
            auto& reader = *static_cast<SndFileMemoryReader*>(self);
            const sf_count_t left = sf_count_t(reader.bytes.size()) - reader.position;
            const sf_count_t n = std::clamp<sf_count_t>(count, 0, left);
            std::memcpy(out, reader.bytes.data() + reader.position, size_t(n));
            reader.position += n;
            return n;
        };
        io.write = [](const void*, sf_count_t, void*) -> sf_count_t { return 0; };
        io.tell = [](void* self) { return static_cast<SndFileMemoryReader*>(self)->position; };
        return io;
    }
};

}  // namespace strombel::platform
