// The drive address of the command line, checked before the session opens.
#pragma once

#include <optional>
#include <string_view>

// The target id of a command line that names none.
inline constexpr int kNoTarget = -1;

// The highest host adapter or target the command line may name: ASPI
// addresses them in a byte.
inline constexpr int kHighestAddress = 255;
// The number after -id: or -ha: (arg is the whole argument): a whole decimal
// number from lowest to kHighestAddress, without sign, blank, base prefix or
// leading zero; "-id:" alone is 0 and "-id:-1" is -1. None for anything else.
std::optional<int> OptionNumber(const char* arg, int lowest);
// False for a dev= text whose numbers are not whole decimal numbers as
// OptionNumber takes them, or that leaves out the bus or target number (","
// ",2" "1,,0") or the address after a colon (":" "1:"): the library would
// read 0, a default target, or another base. The documented forms
// (bus,target,lun; target,lun; "target,"; empty), names and the remote
// forms pass, for the library to judge.
bool DevTextNamesTarget(std::string_view text);
// True for a dev= text that names a drive as the kernel does (a path such
// as /dev/sg3, or H:C:T:L such as 2:0:0:0), which only a layer that knows
// the kernel's names can resolve.
bool DevTextIsName(std::string_view text);
