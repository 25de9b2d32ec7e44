#pragma once

// Lays out DWARF call-frame sections (CIEs, FDEs and their instructions) and
// expressions byte by byte, in either byte order, for the unwind tests and the
// synthesized images.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace strombel::crash::testing {

/// Bytes in a chosen byte order.
class Bytes {
public:
    explicit Bytes(bool swapped = false) : swapped_(swapped) {}

    Bytes& u8(uint64_t value) {
        data_.push_back(static_cast<uint8_t>(value));
        return *this;
    }
    Bytes& u16(uint64_t value) { return fixed(value, 2); }
    Bytes& u32(uint64_t value) { return fixed(value, 4); }
    Bytes& u64(uint64_t value) { return fixed(value, 8); }
    Bytes& word(uint64_t value, bool is64) { return fixed(value, is64 ? 8 : 4); }
    Bytes& uleb(uint64_t value) {
        do {
            uint8_t byte = value & 0x7F;
            value >>= 7;
            data_.push_back(static_cast<uint8_t>(byte | (value ? 0x80 : 0)));
        } while (value);
        return *this;
    }
    Bytes& sleb(int64_t value) {
        for (;;) {
            uint8_t byte = value & 0x7F;
            value >>= 7;
            bool done = (value == 0 && !(byte & 0x40)) || (value == -1 && (byte & 0x40));
            data_.push_back(static_cast<uint8_t>(byte | (done ? 0 : 0x80)));
            if (done) return *this;
        }
    }
    Bytes& raw(const std::vector<uint8_t>& bytes) {
        data_.insert(data_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    Bytes& text(const std::string& value) {
        data_.insert(data_.end(), value.begin(), value.end());
        data_.push_back(0);
        return *this;
    }
    Bytes& align(size_t to) {
        while (data_.size() % to) data_.push_back(0);
        return *this;
    }
    /// Overwrites `size` bytes at `offset`.
    void patch(size_t offset, uint64_t value, uint32_t size) {
        for (uint32_t i = 0; i < size; ++i) {
            uint32_t shift = swapped_ ? 8 * (size - 1 - i) : 8 * i;
            data_[offset + i] = static_cast<uint8_t>(value >> shift);
        }
    }

    size_t size() const { return data_.size(); }
    bool swapped() const { return swapped_; }
    const std::vector<uint8_t>& data() const { return data_; }
    std::vector<uint8_t>& data() { return data_; }

private:
    Bytes& fixed(uint64_t value, uint32_t size) {
        size_t at = data_.size();
        data_.resize(at + size);
        patch(at, value, size);
        return *this;
    }

    bool swapped_;
    std::vector<uint8_t> data_;
};

/// A call-frame section that will lie at `address`: pc-relative fields are
/// written against that address.
class FrameSection {
public:
    FrameSection(uint64_t address, bool is64 = true, bool swapped = false, bool debugFrame = false)
        : address_(address), is64_(is64), debugFrame_(debugFrame), bytes_(swapped) {}

    struct Cie {
        std::string augmentation = "zR";
        uint64_t codeAlignment = 1;
        int64_t dataAlignment = -8;
        uint64_t returnAddressRegister = 16;
        uint8_t pointerEncoding = 0x1B;  // pc-relative signed 32-bit
        std::vector<uint8_t> extraAugmentationData;  // after the letters' own data
        std::vector<uint8_t> instructions;
        uint8_t version = 1;
    };

    /// Appends a CIE; its offset.
    size_t cie(const Cie& cie) {
        size_t start = beginEntry();
        bytes_.u32(debugFrame_ ? 0xFFFFFFFFu : 0);
        bytes_.u8(cie.version).text(cie.augmentation);
        bytes_.uleb(cie.codeAlignment).sleb(cie.dataAlignment).uleb(cie.returnAddressRegister);
        if (!cie.augmentation.empty() && cie.augmentation[0] == 'z') {
            Bytes data(bytes_.swapped());
            for (char letter : cie.augmentation.substr(1)) {
                if (letter == 'R') data.u8(cie.pointerEncoding);
                if (letter == 'L') data.u8(0x1B);
                if (letter == 'P') data.u8(0x00).word(0, is64_);  // an absolute personality of 0
            }
            data.raw(cie.extraAugmentationData);
            bytes_.uleb(data.size()).raw(data.data());
        }
        bytes_.raw(cie.instructions);
        endEntry(start);
        encodings_.push_back({start, cie.augmentation.find('R') != std::string::npos ? cie.pointerEncoding : uint8_t{0},
                              !cie.augmentation.empty() && cie.augmentation[0] == 'z'});
        return start;
    }

    /// Appends an FDE for [pcStart, pcEnd) under the CIE at `cieOffset`; its offset.
    size_t fde(size_t cieOffset, uint64_t pcStart, uint64_t pcEnd, const std::vector<uint8_t>& instructions,
               const std::vector<uint8_t>& augmentationData = {}) {
        const Encoding* encoding = nullptr;
        for (const Encoding& e : encodings_) {
            if (e.cie == cieOffset) encoding = &e;
        }
        size_t start = beginEntry();
        size_t pointerField = bytes_.size();
        bytes_.u32(debugFrame_ ? cieOffset : pointerField - cieOffset);
        if (encoding && encoding->pointer == 0x1B) {
            size_t field = bytes_.size();
            bytes_.u32(static_cast<uint32_t>(pcStart - (address_ + field)));
            bytes_.u32(static_cast<uint32_t>(pcEnd - pcStart));
        } else {
            bytes_.word(pcStart, is64_).word(pcEnd - pcStart, is64_);
        }
        if (encoding && encoding->z) bytes_.uleb(augmentationData.size()).raw(augmentationData);
        bytes_.raw(instructions);
        endEntry(start);
        return start;
    }

    /// The zero length that ends a section.
    void terminate() { bytes_.u32(0); }

    uint64_t address() const { return address_; }
    const std::vector<uint8_t>& data() const { return bytes_.data(); }
    Bytes& bytes() { return bytes_; }

private:
    struct Encoding {
        size_t cie;
        uint8_t pointer;
        bool z;
    };

    size_t beginEntry() {
        size_t start = bytes_.size();
        bytes_.u32(0);  // the length, patched at the end
        return start;
    }
    void endEntry(size_t start) {
        bytes_.align(is64_ ? 8 : 4);
        bytes_.patch(start, bytes_.size() - start - 4, 4);
    }

    uint64_t address_;
    bool is64_;
    bool debugFrame_;
    Bytes bytes_;
    std::vector<Encoding> encodings_;
};

}  // namespace strombel::crash::testing
