// Helpers of the host tests: a temporary directory, the working directory and the drive map
// set for a scope.
#pragma once

#include "common/test_util.h"

namespace hosttest {

using testutil::InDirectory;
using testutil::MapGuard;
using testutil::TempTree;

}  // namespace hosttest
