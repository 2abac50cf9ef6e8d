// Transport selection: the table that scg__open installs for every device
// name that does not select the remote transport.
#pragma once

#include "scg/scg.h"

// The table installed for ordinary names: scg_std_ops unless a test replaced it.
const scg_ops* scg_std_transport();
// Replaces it (null: back to scg_std_ops) and returns the previous one. Tests
// and fuzz targets use this to run scg_open without any ASPI layer.
const scg_ops* scg_set_std_transport(const scg_ops* ops);
