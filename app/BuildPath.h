// Joins path components with "/", always inserting the separator.
#pragma once

#include <string>
#include <string_view>

// BuildPath("a", "b") is "a/b"; BuildPath("a/", "b") is "a//b": the separator is never elided.
template <typename... Parts>
std::string BuildPath(std::string_view first, const Parts&... rest) {
    std::string path(first);
    ((path += "/", path += std::string_view(rest)), ...);
    return path;
}
