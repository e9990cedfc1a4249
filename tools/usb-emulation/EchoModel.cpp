#include "EchoModel.h"

namespace usb_emulation {

void EchoModel::receive(const uint8_t* bytes, size_t count, TimePoint now) {
    if (count > 0) pending_.push_back({std::vector<uint8_t>(bytes, bytes + count), now + delay_});
}

std::vector<uint8_t> EchoModel::take_output(TimePoint now) {
    std::vector<uint8_t> output;
    while (!pending_.empty() && pending_.front().due <= now) {
        output.insert(output.end(), pending_.front().bytes.begin(), pending_.front().bytes.end());
        pending_.pop_front();
    }
    return output;
}

std::optional<TimePoint> EchoModel::next_deadline(bool output_can_be_taken) const {
    if (!output_can_be_taken || pending_.empty()) return std::nullopt;
    return pending_.front().due;
}

}  // namespace usb_emulation
