// Small file and output helpers shared by the tests.
#pragma once
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>

inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Runs fn and returns what it wrote to standard output and standard error.
inline std::string output_of(const std::function<void()> &fn) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    fn();
    std::string out = testing::internal::GetCapturedStdout();
    return out + testing::internal::GetCapturedStderr();
}

inline bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}
