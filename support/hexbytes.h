// Bytes as the command logs show them: two upper-case hex digits each, no
// separator. Shared by the ASPI layers' log and the kernel target's, whose
// lines the tests compare with each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sup {

std::string hexbytes(const std::uint8_t* p, std::size_t n);

}  // namespace sup
