#pragma once
// The multi-threaded factorization (-mt): ncpu threads factor the assembly
// tree with threshold pivoting, as the single-thread pivoting path does.
//
// The analysis split the tree into branches (independent subtrees) and a
// shared top above them. A thread takes a whole branch and factors it alone
// on a stack of its own; the update matrix of a branch root goes to a pool
// keyed by supernode. A supernode of the shared top becomes ready when all
// its children are done: its front job allocates the front, takes the
// children's update matrices from the pool (each is there before the job
// exists) and assembles the entries of A. The front is then factored panel
// by panel: a panel job eliminates the next window of fully summed columns
// (one thread: the pivot tests read whole columns), update jobs bring the
// columns right of it up to date, one column tile of block_size columns
// each, taken by any thread. Columns without an acceptable pivot are delayed
// to the parent as on the single-thread path; the last supernode is forced.
//
// Threads take work in this order: panel jobs, update jobs, front jobs and
// branches, the last two only while fewer than the allowed number of fronts
// and branches are open (solver.allowed_fronts, lowered to 1 while memory in
// use plus the largest front passes 95 % of the soft limit). A thread without
// work blocks until a job is queued or the factorization ends.
//
// Factor blocks go, incore, to the factor region in the order they are
// finished, each at an offset kept in solver.factor_block_at; offcore, to the
// writer thread through the ring of factor/factor_ring.h, which records them
// in the block index. A failure in any thread (a singular front, memory, I/O)
// stops every thread at its next step; the run then ends with that failure
// as the single-thread path would.
//
// Locks, outermost first: the scheduler's lock; then the memory monitor's,
// the ring's, the structure's, the progress lock or the factor region's,
// each taken alone or innermost and never two of them together.
#include "io/yale_matrix.h"

class tessar;
struct SupernodeTree;

// Returns 0, or 16 for a singular matrix (after "ERROR:   Singular matrix"
// once). The analysis is rewritten to the factor as made, as the
// single-thread pivoting path does.
template <class K, class Stored>
[[nodiscard]] int FactorFrontsInParallel(tessar& solver, YaleMatrix& a, const SupernodeTree& tree);
