// What the tests of every layer share. One helper for one job, so that a
// test file keeps only what is its own.
#pragma once

#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "aspihost/crc32.h"

namespace qvtest {

// The CRC-32 that the command log prints for data sent to a device: the
// product's own, so that a test compares against what the log really holds.
using aspihost::crc32;

// Fixed-format sense bytes of the current error: sense key, additional
// sense code and qualifier, 18 bytes as a drive returns them.
std::vector<unsigned char> FixedSense(unsigned char key, unsigned char asc, unsigned char ascq = 0);

// A fresh folder under the system's temporary folder, removed with all it
// holds when the object goes. Throws when no folder can be made.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "qvtest");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // The path of `name` inside the folder.
    std::string Path(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A temporary stream that stands in for a FILE*: what is written to it reads
// back with text(). One made from `input` starts as that text, rewound, for
// code that reads a stream.
class CapturedStream {
public:
    CapturedStream();
    explicit CapturedStream(std::string_view input);
    ~CapturedStream();
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;

    operator FILE*() const { return file_; }
    // Everything written so far.
    std::string text() const;

private:
    FILE* file_;
};

// Collects what is written to descriptor 2 while it lives, whether through
// stderr or write(2). text() ends the capture.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text();

private:
    void restore();
    CapturedStream file_;
    int saved_ = -1;
};

// The whole of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Writes the bytes as the whole file at path, and gives the path back.
std::string WriteFile(const std::string& path, std::span<const unsigned char> bytes);

// An ASPI layer's command log with every outcome's time as "seconds=T":
// no two runs take the same time.
std::string UntimedLog(const std::string& log);

}  // namespace qvtest
