// The K-matrix layout and frequency codes, read from the framework's constants
// class (vornix.tframe.sysdefine.GlobalDefine).  The compiled modules read it
// once, when they are imported, and keep it for the life of the process: the
// constants are class attributes that nothing changes during a run.
#pragma once

#include "vornix/kernels.hpp"

namespace vornix::common {

// Reads and checks the layout; raises ValueError when it is inconsistent.
vornix::kernels::Layout read_layout();

}  // namespace vornix::common
