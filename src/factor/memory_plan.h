#pragma once
// The memory plan of the single-thread factorization: the stack estimate
// Storage, the incore/offcore decision and the one WorkArray that holds the
// factor regions (incore), the stack area with every front, and on the
// pivoting path offcore the write buffer of the factor files.
#include <cstdint>

class tessar;
struct SupernodeTree;

// Peak, in working elements, of the update-matrix stack plus the front being
// assembled, visiting supernodes in their (postorder) numbering. An update
// matrix whose parent comes next is not counted: the parent's front is placed
// over it. A stack that does not come back to empty ends the run with
// "Memory violation is expected", code 1.
std::int64_t StackEstimate(tessar& solver, const SupernodeTree& tree);

// The same peak, plus one element, for the subtree of supernodes first …
// last (last its root) on a stack of its own; a sixteenth more where delayed
// pivots are to be expected.
std::int64_t SubtreeStackEstimate(const tessar& solver, const SupernodeTree& tree, std::int32_t first,
                                  std::int32_t last);

// The plain path computes its fronts in single precision: asked for with
// -single_updates, and the factor is stored in single precision. Its stack
// then holds single-precision elements.
bool PlainFrontsInSingle(const tessar& solver);

// Size, decide and allocate for the plain and the pivoting path; they set
// Storage, offcore, the WorkArray and its regions, and max_front (pivoting).
// Where delayed pivots are to be expected (a matched matrix) the pivoting
// plan keeps a sixteenth more stack and factor; the
// factorization grows the WorkArray where delays need still more.
void PlainPlan(tessar& solver, const SupernodeTree& tree);
void PivotingPlan(tessar& solver, const SupernodeTree& tree);

// The multi-threaded plan: branch stacks, fronts of the shared top and the
// pool are allocated as the threads need them, so the WorkArray holds only
// the factor region(s) (incore) or the ring of the factor writer (offcore).
// Sets allowed_fronts: ncpu, or 1 where memory is short or the run is
// offcore, or the environment's "TS_ALLOWED_FRONTS" when it is above 0.
void MultiThreadPlan(tessar& solver, const SupernodeTree& tree);

// The message sent to the parent between the plan and the factorization.
void ReportFactorEstimate(const tessar& solver);
