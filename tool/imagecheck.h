// Firmware image identification and checksum over the one copy of the image
// read from its file.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "fwimage/imagefile.h"

// The image as read once from its file; every check and every piece sent
// comes from this copy.
using Image = std::span<const unsigned char>;

// The bytes of the image file as fwimage::read_image_file read them. None,
// said on standard output, when it could not be opened or is not a regular
// file.
std::optional<std::vector<unsigned char>> TakeUpgradeFile(fwimage::ImageFile f, const char* file);
// Why the image of size bytes, identified as type, is refused: on standard
// error, after the refusal itself.
void SayWhyRefused(const char* file, long long size, Image image, int type);
// Drive type of an image, or NO_TYPE; with debug, the trace line.
int GetUpgradeInfo(bool debug, Image image);
// True when the image's checksum is right; with debug, its trace lines.
bool isValidUpgradeFile(bool debug, Image image, int type);
