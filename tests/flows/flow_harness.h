#pragma once

// The engine against the simulated adapter, under the name the benchmarks include.
#include "tests/support/sim_job.h"
