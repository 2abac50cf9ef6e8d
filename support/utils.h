// Saved arguments and program name, byte fill and move, string and number
// helpers, bounded line input.
#pragma once

#include <cstdio>

namespace sup {

void save_args(int ac, char** av);
int saved_ac();
char** saved_av();
const char* saved_av0();
void set_progname(const char* name);
const char* get_progname();

void* fillbytes(void* to, int cnt, int val);
// Source first, destination second.
void* movebytes(const void* from, void* to, int cnt);

int streql(const char* a, const char* b);
const char* astol(const char* s, long* l);
const char* astoi(const char* s, int* i);
// As astoi; *fits tells whether the number lies in the int range, where
// astoi's value would have wrapped.
const char* astoi_fits(const char* s, int* i, bool* fits);

int fgetline(FILE* f, char* buf, int len);
int getline(char* buf, int len);

}  // namespace sup
