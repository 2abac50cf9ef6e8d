#include "testing/testsupport.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace qvtest {

TempDir::TempDir(const std::string& prefix) {
    std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + tmpl);
    path_ = tmpl;
}

TempDir::~TempDir() {
    // Whatever a failed test left inside goes too; leftovers are harmless.
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<unsigned char> FixedSense(unsigned char key, unsigned char asc, unsigned char ascq) {
    std::vector<unsigned char> sense(18, 0);
    sense[0] = 0x70;  // current error, fixed format
    sense[2] = key;
    sense[7] = 10;  // additional length: the bytes after byte 7
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

CapturedStream::CapturedStream() : file_(std::tmpfile()) {
    if (file_ == nullptr) throw std::runtime_error("tmpfile failed");
}

CapturedStream::CapturedStream(std::string_view input) : CapturedStream() {
    std::fwrite(input.data(), 1, input.size(), file_);
    std::rewind(file_);
}

CapturedStream::~CapturedStream() { std::fclose(file_); }

std::string CapturedStream::text() const {
    std::fflush(file_);
    std::rewind(file_);
    std::string s;
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, file_)) > 0;) s.append(buf, n);
    return s;
}

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    saved_ = ::dup(2);
    ::dup2(::fileno(file_), 2);
}

StderrCapture::~StderrCapture() { restore(); }

std::string StderrCapture::text() {
    restore();
    return file_.text();
}

void StderrCapture::restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string WriteFile(const std::string& path, std::span<const unsigned char> bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::string UntimedLog(const std::string& log) {
    return std::regex_replace(log, std::regex("seconds=[0-9]+\\.[0-9]{6}"), "seconds=T");
}

}  // namespace qvtest
