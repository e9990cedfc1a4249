// A sparse memory: the bytes written so far, by address, kept as runs of consecutive bytes. It is
// what the module's loader received and what it wrote to flash, in a form a test can compare with
// an image's blocks. Writes of consecutive bytes extend a run in place, so a transfer packet by
// packet costs time in proportion to its bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace virtual_module {

class MemoryImage {
public:
    explicit MemoryImage(size_t capacity) : capacity_(capacity) {}

    // Places the bytes at the address, over whatever was there. Refused (false, nothing changed)
    // when they would run past the end of the 32-bit address space or when the image could grow
    // beyond its capacity (counted as if none of the bytes overwrote others).
    bool write(uint32_t address, const uint8_t* bytes, size_t count);
    bool write(uint32_t address, const std::vector<uint8_t>& bytes) { return write(address, bytes.data(), bytes.size()); }
    // The bytes at the address, or none when any of them was never written.
    std::optional<std::vector<uint8_t>> read(uint32_t address, size_t count) const;

    // The runs by start address; adjacent and overlapping writes have been joined.
    const std::map<uint32_t, std::vector<uint8_t>>& runs() const { return runs_; }
    size_t size() const { return size_; }
    bool empty() const { return runs_.empty(); }
    void clear();

private:
    size_t capacity_;
    size_t size_ = 0;
    std::map<uint32_t, std::vector<uint8_t>> runs_;
};

}  // namespace virtual_module
