// Where the compiler places a function in the module's code, for the instruction cache.
//
// RT_HOT marks what every await of a module coroutine and every wrapped call runs (made, stepped,
// finished, freed): placed together, the path takes few instruction-cache lines. Spread over the
// module, these functions shared cache sets with the interpreter's own code on that path and
// evicted it at each await. RT_COLD marks what runs only on errors, under a profiler or tracer,
// or once per lookup: placed apart, it keeps the hot lines dense.
#pragma once

#define RT_HOT [[gnu::hot]]
#define RT_COLD [[gnu::cold]]
