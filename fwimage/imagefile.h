// Reads an image file once into memory, for the programs that check and send
// it: only that copy is looked at afterwards, so a later change of the file
// cannot reach a drive.
#pragma once

#include <cstdint>
#include <vector>

namespace fwimage {

enum class FileStatus {
    ok,
    cannot_open,  // also a name longer than NAME_LIMIT
    not_regular,  // a FIFO, device, socket or directory: never an image
};

// The longest file name the programs take.
enum { NAME_LIMIT = 255 };

struct ImageFile {
    FileStatus status = FileStatus::cannot_open;
    std::vector<std::uint8_t> bytes;  // the first MAX_IMAGE bytes at most
    long long size = 0;               // the file's length
    int error = 0;                    // why it could not be opened (errno)
    bool directory = false;           // not_regular: a folder
};

// Opens without blocking (a FIFO with no writer would hang a plain open),
// follows links, and reads only a regular file.
ImageFile read_image_file(const char* path);

}  // namespace fwimage
