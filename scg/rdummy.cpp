// The remote transport entry: this build has no remote transport, so the
// table handed out refuses every open.
#include "scg/scg.h"

const scg_ops* scg_remote() { return &scg_remote_ops; }
