#include "analysis/symbolic_factor.h"

#include <algorithm>
#include <vector>

#include "driver/tessar.h"

namespace {

constexpr std::int32_t none = -1;

// One pass of the compressed symbolic factorization. q is the sorted linked
// list of the current row (head q[k], end marker n), jl links the rows whose
// first subscript is the same pivot (their structures are merged into that
// pivot's row), and mark[v] is the last row whose stored list holds v.
class SubscriptCompressor {
 public:
  SubscriptCompressor(tessar& solver, std::int32_t n, const std::int64_t* xadj, const std::int64_t* adjncy,
                      const std::int32_t* perm)
      : solver_(solver), n_(n), xadj_(xadj), adjncy_(adjncy), perm_(perm) {
    const char* message = "Can't allocate memory for symbolic factorization";
    q_.allocate(solver, static_cast<std::size_t>(n), message);
    jl_.allocate(solver, static_cast<std::size_t>(n), message);
    mark_.allocate(solver, static_cast<std::size_t>(n), message);
    std::fill(jl_.begin(), jl_.end(), none);
    std::fill(mark_.begin(), mark_.end(), none);
  }

  bool run() {
    solver_.IU[0] = 0;
    for (std::int32_t k = 0; k < n_; ++k) {
      bool clique = false;
      if (!gather_graph_row(k, clique)) return false;
      const std::int64_t count = clique ? take_child_structure(k) : merge_children(k);
      solver_.IU[k + 1] = solver_.IU[k] + count;
      if (count > 1) link_to_first_subscript(k);
    }
    return true;
  }

 private:
  std::int64_t length(std::int32_t i) const { return solver_.IU[i + 1] - solver_.IU[i]; }

  // Step 1: puts the entries v > k of row k into q. The row stays a clique
  // candidate (its structure is its only child's, less k) while every entry lies
  // in the same stored list as k.
  bool gather_graph_row(std::int32_t k, bool& clique) {
    const std::int32_t child = jl_[k];
    const std::int32_t tag = mark_[k];
    clique = child != none && jl_[child] == none;
    q_[k] = n_;
    count_ = 0;
    std::int32_t tail = k;
    const std::int64_t begin = xadj_[perm_[k]], end = xadj_[perm_[k] + 1];
    for (std::int64_t e = begin; e < end; ++e) {
      if (e > begin && adjncy_[e] <= adjncy_[e - 1]) return false;
      const auto v = static_cast<std::int32_t>(adjncy_[e]);
      if (v <= k) continue;
      q_[tail] = v;
      q_[v] = n_;
      tail = v;
      ++count_;
      if (mark_[v] != tag) clique = false;
    }
    return true;
  }

  std::int64_t take_child_structure(std::int32_t k) {
    const std::int32_t child = jl_[k];
    solver_.IJU[k] = solver_.IJU[child] + 1;
    return length(child) - 1;
  }

  // Steps 3 to 5: merges the children's structures into q, then shares the
  // longest child's list when q adds nothing to it, or stores q.
  std::int64_t merge_children(std::int32_t k) {
    std::int64_t longest = 0;
    solver_.IJU[k] = 0;
    for (std::int32_t i = jl_[k]; i != none; i = jl_[i]) {
      insert_subscripts(k, solver_.IJU[i] + 1, solver_.IJU[i] + length(i));
      if (length(i) - 1 > longest) {
        longest = length(i) - 1;
        solver_.IJU[k] = solver_.IJU[i] + 1;
      }
    }
    if (count_ > longest) store_or_share(k);
    return count_;
  }

  // Inserts the ascending subscripts JU[first .. last) into q.
  void insert_subscripts(std::int32_t k, std::int64_t first, std::int64_t last) {
    std::int32_t pos = k;
    for (std::int64_t p = first; p < last; ++p) {
      const std::int32_t v = solver_.JU[p];
      while (q_[pos] < v) pos = q_[pos];
      if (q_[pos] != v) {
        q_[v] = q_[pos];
        q_[pos] = v;
        ++count_;
      }
      pos = v;
    }
  }

  // Step 5: the last stored list may already hold q from its first entry on,
  // or a head of q that can be extended where it lies.
  void store_or_share(std::int32_t k) {
    const std::int32_t first = q_[k];
    std::int64_t p = jumin_;
    while (p <= juptr_ && solver_.JU[p] != first) ++p;
    if (p <= juptr_) {
      std::int64_t t = p;
      std::int32_t v = first;
      while (t <= juptr_ && v != n_ && solver_.JU[t] == v) {
        ++t;
        v = q_[v];
      }
      if (v == n_) {
        solver_.IJU[k] = p;
        return;
      }
      if (t > juptr_) juptr_ = p - 1;
    }
    store(k);
  }

  void store(std::int32_t k) {
    jumin_ = juptr_ + 1;
    reserve(jumin_ + count_);
    for (std::int32_t v = q_[k]; v != n_; v = q_[v]) {
      solver_.JU[++juptr_] = v;
      mark_[v] = k;
    }
    solver_.IJU[k] = jumin_;
  }

  // Grows JU by a quarter of the graph's entry count, or more when one list
  // needs it. Unused capacity is zero, so a saved analysis is the same in every run.
  void reserve(std::int64_t needed) {
    if (needed <= solver_.sizeJU) return;
    const std::int64_t grown = solver_.sizeJU + std::max(xadj_[n_] / 4, needed - solver_.sizeJU);
    solver_.JU.resize(static_cast<std::size_t>(grown), "Can't allocate memory for IU, JU, IJU");
    std::fill(solver_.JU.begin() + solver_.sizeJU, solver_.JU.end(), 0);
    solver_.sizeJU = grown;
  }

  void link_to_first_subscript(std::int32_t k) {
    const std::int32_t first = solver_.JU[solver_.IJU[k]];
    jl_[k] = jl_[first];
    jl_[first] = k;
  }

  tessar& solver_;
  std::int32_t n_;
  const std::int64_t* xadj_;
  const std::int64_t* adjncy_;
  const std::int32_t* perm_;
  ChargedArray<std::int32_t> q_, jl_, mark_;
  std::int64_t count_ = 0;
  std::int64_t jumin_ = 0, juptr_ = -1;
};

}  // namespace

bool SymbolicFactor(tessar& solver, std::int32_t n, const std::int64_t* xadj, const std::int64_t* adjncy,
                    const std::int32_t* perm) {
  if (!solver.IU.allocated() || !solver.IJU.allocated() || !solver.JU.allocated()) return false;
  return SubscriptCompressor(solver, n, xadj, adjncy, perm).run();
}

void ColumnParents(const tessar& solver, std::int32_t n, std::int32_t* parent) {
  for (std::int32_t k = 0; k + 1 < n; ++k) {
    const bool empty = solver.IU[k + 1] == solver.IU[k];
    parent[k] = empty ? n - 1 : solver.JU[solver.IJU[k]];
  }
  if (n > 0) parent[n - 1] = none;
}

void BuildChildLists(tessar& solver, std::int32_t n, const std::int32_t* parent) {
  const char* message = "Can't allocate memory for topology";
  solver.ChildPtr.allocate(solver, static_cast<std::size_t>(n) + 1, message);
  solver.ChildList.allocate(solver, static_cast<std::size_t>(std::max(n, 1)), message);
  auto& ptr = solver.ChildPtr;
  std::fill(ptr.begin(), ptr.end(), 0);
  for (std::int32_t c = 0; c < n; ++c)
    if (parent[c] != none) ++ptr[parent[c] + 1];
  for (std::int32_t c = 0; c < n; ++c) ptr[c + 1] += ptr[c];
  std::vector<std::int32_t> fill(ptr.begin(), ptr.begin() + n);
  for (std::int32_t c = 0; c < n; ++c)
    if (parent[c] != none) solver.ChildList[fill[parent[c]]++] = c;
}

void TopologicalOrdering(tessar& solver, std::int32_t n, std::int32_t* number) {
  if (n == 0) return;
  const char* message = "Can't allocate memory for topology";
  ChargedArray<std::int32_t> stack, iter;
  stack.allocate(solver, static_cast<std::size_t>(n), message);
  iter.allocate(solver, static_cast<std::size_t>(n), message);
  std::copy_n(solver.ChildPtr.data(), n, iter.data());
  std::int32_t depth = 0, next = 0;
  stack[0] = n - 1;
  number[n - 1] = next++;
  while (depth >= 0) {
    const std::int32_t c = stack[depth];
    if (iter[c] == solver.ChildPtr[c + 1]) {
      --depth;
      continue;
    }
    const std::int32_t child = solver.ChildList[iter[c]++];
    number[child] = next++;
    stack[++depth] = child;
  }
  if (next < n) solver.fatal("Problem during TopologicalOrdering", 1);
  for (std::int32_t c = 0; c < n; ++c) number[c] = n - 1 - number[c];
}

namespace {

bool continues_supernode(std::int32_t k, const std::int32_t* parent, const std::int64_t* count) {
  return k > 0 && parent[k - 1] == k && count[k] == count[k - 1] - 1;
}

// Rewrites the child lists of the pivots f .. last of one supernode in place:
// the outside children first, at f, then one chain entry per further pivot.
void gather_supernode_children(tessar& solver, std::int32_t f, std::int32_t last) {
  auto& ptr = solver.ChildPtr;
  auto& list = solver.ChildList;
  std::int32_t out = ptr[f + 1];
  for (std::int32_t k = f + 1; k <= last; ++k)
    for (std::int32_t p = ptr[k]; p + 1 < ptr[k + 1]; ++p) list[out++] = list[p];
  std::sort(list.begin() + ptr[f], list.begin() + out);
  for (std::int32_t k = f + 1; k <= last; ++k) {
    ptr[k] = out;
    list[out++] = k - 1;
  }
}

}  // namespace

void ColumnSupernodes(tessar& solver, std::int32_t n, const std::int32_t* parent, const std::int64_t* count) {
  std::int32_t nsuper = 0;
  for (std::int32_t k = 0; k < n; ++k)
    if (!continues_supernode(k, parent, count)) ++nsuper;
  solver.NSuper = nsuper;
  OrlDebug(2, L"Number of SuperNodes = %d\n", nsuper);
  solver.SNode.allocate(solver, static_cast<std::size_t>(nsuper) + 1, "No memory for SNode");
  std::int32_t s = 0;
  for (std::int32_t k = 0; k < n; ++k)
    if (!continues_supernode(k, parent, count)) solver.SNode[s++] = k;
  solver.SNode[nsuper] = n;
  for (s = 0; s < nsuper; ++s) gather_supernode_children(solver, solver.SNode[s], solver.SNode[s + 1] - 1);
}
