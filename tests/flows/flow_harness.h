#pragma once

// The engine against the simulated adapter: kept under this name for the tests and benchmarks
// that include it from here.
#include "tests/support/sim_job.h"
