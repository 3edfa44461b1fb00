// Every internal header of the engine, for the tests, the benchmark and the fuzz target, which
// reach into all of its rooms. Nothing in the engine includes this: each of its files includes the
// rooms it uses. Nothing here is installed or part of any public contract.
#pragma once

#include "definition.h"
#include "filter_bytes.h"
#include "kernels.h"
#include "pattern_tables.h"
#include "plan.h"
#include "planner.h"
#include "prepared.h"
#include "replans.h"
#include "runtime.h"
#include "threads.h"
#include "tuning.h"
