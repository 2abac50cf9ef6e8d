#include "tool/qvupgrade.h"

int main(int argc, char** argv) { return qvupgrade_main(argc, argv); }
