#pragma once
// Whole files: the fixtures a test writes and what a program under test leaves behind.
#include <filesystem>
#include <string>

namespace nubrio::testing {

// The file's bytes; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);
// Replaces the file with these bytes, creating its folders first; std::runtime_error when it cannot.
void writeFile(const std::filesystem::path& path, const std::string& contents);

}  // namespace nubrio::testing
