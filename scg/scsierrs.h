// The message tables of scsierrs. An entry is one string: byte 0 the
// additional sense code, byte 1 the qualifier, the text from byte 2 on.
// Lists end with a null entry; sd_sense_keys is indexed by the sense key.
#pragma once

extern const char* const sd_sense_keys[16];
extern const char* const sd_ccs_error_str[];
extern const char* const sd_adaptec_error_str[];
extern const char* const sd_smo_c501_error_str[];
