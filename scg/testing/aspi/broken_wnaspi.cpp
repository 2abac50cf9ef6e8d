// A WNASPI32 that answers the support inquiry but has no SendASPI32Command,
// for the transport's "entry point missing" path.
#include "platform/aspi.h"

extern "C" __attribute__((visibility("default"))) DWORD GetASPI32SupportInfo() { return (SS_COMP << 8) | 1; }
