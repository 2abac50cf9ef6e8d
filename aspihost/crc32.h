// CRC-32 with the zlib/IEEE polynomial (reflected 0xEDB88320), as the command
// log prints it for data sent to a device.
#pragma once

#include <cstddef>
#include <cstdint>

namespace aspihost {

std::uint32_t crc32(const std::uint8_t* data, std::size_t size);

}  // namespace aspihost
