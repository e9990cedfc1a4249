#include "MemoryImage.h"

#include <algorithm>
#include <iterator>

namespace virtual_module {

namespace {

constexpr uint64_t kAddressSpace = uint64_t{1} << 32;

uint64_t end_of(const std::pair<const uint32_t, std::vector<uint8_t>>& run) { return run.first + uint64_t{run.second.size()}; }

}  // namespace

bool MemoryImage::write(uint32_t address, const uint8_t* bytes, size_t count) {
    uint64_t end = uint64_t{address} + count;
    if (end > kAddressSpace || size_ + count > capacity_) return false;
    if (count == 0) return true;

    // The run that holds the address or ends right before it grows in place; otherwise a new one starts.
    auto run = runs_.upper_bound(address);
    if (run != runs_.begin() && end_of(*std::prev(run)) >= address) {
        --run;
    } else {
        run = runs_.emplace(address, std::vector<uint8_t>{}).first;
    }
    std::vector<uint8_t>& data = run->second;
    size_ -= data.size();
    size_t offset = address - run->first;
    if (data.size() < offset + count) data.resize(offset + count);
    std::copy(bytes, bytes + count, data.begin() + static_cast<long>(offset));

    // Later runs the new bytes reach are joined: their bytes beyond the new ones are kept.
    for (auto next = std::next(run); next != runs_.end() && next->first <= end_of(*run);) {
        if (end_of(*next) > end_of(*run)) {
            size_t kept_from = static_cast<size_t>(end_of(*run) - next->first);
            data.insert(data.end(), next->second.begin() + static_cast<long>(kept_from), next->second.end());
        }
        size_ -= next->second.size();
        next = runs_.erase(next);
    }
    size_ += data.size();
    return true;
}

std::optional<std::vector<uint8_t>> MemoryImage::read(uint32_t address, size_t count) const {
    if (count == 0) return std::vector<uint8_t>{};
    auto run = runs_.upper_bound(address);
    if (run == runs_.begin()) return std::nullopt;
    --run;
    if (uint64_t{address} + count > end_of(*run)) return std::nullopt;
    auto first = run->second.begin() + static_cast<long>(address - run->first);
    return std::vector<uint8_t>(first, first + static_cast<long>(count));
}

void MemoryImage::clear() {
    runs_.clear();
    size_ = 0;
}

}  // namespace virtual_module
