// The files of --backup: a loader-mode drive's flash kept before the erase.
#pragma once

#include <span>
#include <string>

#include "drivecmd/drive.h"

// The file of the nth flash that --backup FILE saves in a run (from 0): FILE
// for the first, FILE.HA-ID for the others.
std::string BackupName(const char* file, int nth, Drive at);
// Writes bytes into a new file at path, whole and on the disk before it gets
// that name, never replacing a file nor writing through a link. Why not,
// or empty.
std::string SaveBackup(const std::string& path, std::span<const unsigned char> bytes);
