// Bytes written as text in tests: "06 03 03 49 20". In a pattern, "**" stands for any one byte
// (time stamps and other values a test cannot know).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

using Bytes = std::vector<uint8_t>;

// The bytes of space-separated hexadecimal pairs; throws std::invalid_argument on anything else.
Bytes bytes_of(const std::string& text);
// "06 03 03 49 20" for the bytes.
std::string text_of(const Bytes& bytes);

class BytePattern {
public:
    explicit BytePattern(const std::string& text);
    size_t size() const { return expected_.size(); }
    bool matches(const Bytes& bytes) const;
    const std::string& text() const { return text_; }

private:
    std::vector<std::optional<uint8_t>> expected_;
    std::string text_;
};

}  // namespace test_support
