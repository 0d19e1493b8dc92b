#pragma once
// Umbrella header of the e-graph engine: symbols, e-nodes, the e-graph, patterns,
// rewrites, the runner and its scheduler.
#include "egraph/deadline.h"
#include "egraph/fatal.h"
#include "egraph/graph.h"
#include "egraph/language.h"
#include "egraph/log.h"
#include "egraph/pattern.h"
#include "egraph/pattern_term.h"
#include "egraph/rewrite.h"
#include "egraph/runner.h"
#include "egraph/small_vec.h"
#include "egraph/symbol.h"
