#include "LogCapture.h"

#include <stdexcept>

#include "Log.h"

namespace test_support {

LogCapture::LogCapture(unsigned packages) : file_(tmpfile()), packages_(packages) {
    if (file_ == nullptr) throw std::runtime_error("cannot make a file for the log");
    Log::SetOutput(file_);
    Log::ActivatePackage(packages_);
}

LogCapture::~LogCapture() {
    Log::DeactivatePackage(packages_);
    Log::SetOutput(nullptr);
    fclose(file_);
}

std::string LogCapture::text() const {
    fflush(file_);
    long end = ftell(file_);
    std::string content(end > 0 ? static_cast<size_t>(end) : 0, '\0');
    rewind(file_);
    size_t count = fread(content.data(), 1, content.size(), file_);
    content.resize(count);
    fseek(file_, 0, SEEK_END);
    return content;
}

}  // namespace test_support
