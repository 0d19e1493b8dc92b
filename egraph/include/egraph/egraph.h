#pragma once
// Umbrella header of the e-graph engine: symbols, e-nodes, the e-graph, patterns,
// rewrites, the runner and its scheduler, and the Panic they throw on a broken invariant.
#include "egraph/deadline.h"
#include "egraph/graph.h"
#include "egraph/language.h"
#include "egraph/log.h"
#include "egraph/pattern.h"
#include "egraph/pattern_term.h"
#include "egraph/rewrite.h"
#include "egraph/runner.h"
#include "egraph/small_vec.h"
#include "egraph/symbol.h"
#include "support/panic.h"
