// The tool's own globals, shared by the files of the qvupgrade module.
#include "tool/qvupgrade.h"

int debug = 0;
int UpgradeDrive = 0;
unsigned char* buffer = nullptr;
