#include "factor/frontal_factorization.h"

#include <algorithm>
#include <cstring>

#include "core/memory_monitor.h"
#include "core/tessar.h"
#include "factor/factor_sink.h"
#include "factor/front_worker.h"
#include "factor/memory_plan.h"
#include "factor/parallel_factorization.h"
#include "factor/supernode_tree.h"
#include "platform/core_library.h"
#include "platform/kind_traits.h"

namespace {

// FK: the kind the fronts are computed in (K, or on the plain path its
// single-precision counterpart).
template <class K, class Stored, class FK = K>
class FrontalFactorization {
 public:
  FrontalFactorization(tessar& solver, YaleMatrix& a, const SupernodeTree& tree, bool pivoting)
      : z_(solver, a, tree, pivoting), solver_(solver), a_(a), pivoting_(pivoting), n_(a.n) {}

  int run() {
    report_progress(solver_, solver_.factor_progress_start);
    prepare();
    for (std::int32_t s = 0; s < solver_.NSuper; ++s) {
      const bool done = factor_supernode(s);
      if (!done) {
        OrlDebug(L"ERROR:   Singular matrix\n");
        close_files();
        return 16;
      }
    }
    finish();
    return 0;
  }

 private:
  using T = typename FK::scalar;
  using Worker = FrontWorker<K, Stored, FK>;
  static constexpr bool symmetric = K::symmetry != Symmetry::unsymmetric;

  bool factor_supernode(std::int32_t s) {
    if constexpr (std::is_same_v<FK, K>)
      if (pivoting_) return worker_->factor_pivoting_supernode(s);
    return worker_->factor_plain_supernode(s);
  }

  // Temporaries, counters and the factor destinations (steps before the loop).
  void prepare() {
    solver_.max_front = static_cast<std::int32_t>(z_.longest_column);
    worker_ = std::make_unique<Worker>(z_);
    OrlDebug(2, symmetric ? L"Max front %d last SNode size = %d\n" : L"Max front %d last SN size = %d\n",
             solver_.max_front, n_ - solver_.SNode[solver_.NSuper - 1]);
    if (pivoting_) z_.prepare_pivoting();
    worker_->set_stack(reinterpret_cast<T*>(solver_.WorkArray.get() + solver_.stack_offset), solver_.Storage + 1);
    worker_->set_stack_growth([this](std::int64_t need, std::int64_t front) { grow(0, need, front); });
    worker_->set_store([this](std::int32_t, std::int32_t k, std::int64_t m, const T*) {
      if (pivoting_) make_factor_room(k, m);
      const T* front = worker_->stack_ + (worker_->stack_size_ - m * m);
      Worker::store_block(pivoting_, k, m, front, u_sink_, l_sink_);
      z_.count_stored(Worker::block_entries(k, m));
    });
    open_sinks(z_.longest_column + 1);
  }

  void open_sinks(std::int64_t longest_piece) {
    auto* u_region = static_cast<Stored*>(solver_.u_factor_buffer());
    auto* l_region = static_cast<Stored*>(solver_.l_factor_buffer());
    if (!solver_.offcore) {
      u_sink_ = FactorSink<Stored>::incore(u_region);
      l_sink_ = FactorSink<Stored>::incore(l_region);
      return;
    }
    staging_.allocate(solver_, longest_piece, factorization_memory_message);
    OpenUFile(solver_, "wb");
    if (!symmetric) OpenLFile(solver_, "wb");
    if (pivoting_) {
      u_sink_ = FactorSink<Stored>::buffered(solver_, 'U', u_region, solver_.u_factor_capacity, staging_.data());
      l_sink_ = FactorSink<Stored>::buffered(solver_, 'L', l_region, solver_.l_factor_capacity, staging_.data());
    } else {
      u_sink_ = FactorSink<Stored>::direct(solver_, 'U', staging_.data());
      l_sink_ = FactorSink<Stored>::direct(solver_, 'L', staging_.data());
    }
  }

  void close_files() {
    u_sink_.flush();
    l_sink_.flush();
    CloseFactorFile(solver_, 'U');
    CloseFactorFile(solver_, 'L');
  }

  // Room for the block of k pivots of a front of order m: in the factor
  // region (incore) or, offcore, in the staging of pieces.
  void make_factor_room(std::int32_t k, std::int64_t m) {
    const std::int64_t entries = Worker::block_entries(k, m);
    if (!solver_.offcore) {
      if (u_sink_.position() + entries > solver_.u_factor_capacity) grow(u_sink_.position() + entries, 0, m * m);
      return;
    }
    if (static_cast<std::int64_t>(staging_.size()) > m) return;
    staging_.resize(static_cast<std::size_t>(m) + 1, factorization_memory_message);
    u_sink_.relocate(static_cast<Stored*>(solver_.u_factor_buffer()), solver_.u_factor_capacity, staging_.data());
    l_sink_.relocate(static_cast<Stored*>(solver_.l_factor_buffer()), solver_.l_factor_capacity, staging_.data());
  }

  // Delayed pivots made the factor or a front outgrow the plan: a larger
  // WorkArray, with a quarter to spare, takes the factor stored so far
  // (incore), the live part of the stack and the front at the stack area's
  // end (its last front_elements); offcore the write buffers keep their size
  // behind the larger stack.
  void grow(std::int64_t factor_entries, std::int64_t stack_elements, std::int64_t front_elements) {
    const std::int64_t E = sizeof(Stored), W = sizeof(T);
    const auto roomy = [](std::int64_t need, std::int64_t have) { return need > have ? need + need / 4 : have; };
    const bool incore = !solver_.offcore;
    T* stack = worker_->stack_;
    const std::int64_t stack_size = worker_->stack_size_, stack_top = worker_->stack_top_;
    const std::int64_t capacity = incore ? roomy(factor_entries, solver_.u_factor_capacity) : 0;
    const std::int64_t storage = roomy(stack_elements, stack_size);
    const std::int64_t factor_bytes = incore ? (symmetric ? capacity + (capacity & 1) : 2 * capacity) * E : 0;
    const std::int64_t buffer_bytes = incore ? 0 : solver_.work_array_bytes - stack_size * W;
    const std::int64_t bytes = factor_bytes + storage * W + buffer_bytes;
    add_memory(solver_, kb_of_bytes(bytes));
    std::unique_ptr<std::byte[]> fresh(new (std::nothrow) std::byte[bytes]);
    if (!fresh) fatal_out_of_memory(solver_, "Can not allocate WorkArray");
    std::byte* base = fresh.get();
    std::byte* stack_at = base + factor_bytes;
    std::memcpy(stack_at, stack, stack_top * W);
    std::memcpy(stack_at + (storage - front_elements) * W, stack + (stack_size - front_elements), front_elements * W);
    std::byte* u = incore ? base + (symmetric ? 0 : capacity * E) : stack_at + storage * W;
    std::byte* l = symmetric ? nullptr : (incore ? base : u + solver_.u_factor_capacity * E);
    if (incore) {
      std::memcpy(u, solver_.u_factor_buffer(), u_sink_.position() * E);
      if (l) std::memcpy(l, solver_.l_factor_buffer(), l_sink_.position() * E);
      solver_.u_factor_capacity = capacity;
      solver_.l_factor_capacity = symmetric ? 0 : capacity;
    }
    u_sink_.relocate(reinterpret_cast<Stored*>(u), solver_.u_factor_capacity, staging_.data());
    l_sink_.relocate(reinterpret_cast<Stored*>(l), solver_.l_factor_capacity, staging_.data());
    solver_.u_factor_single = solver_.u_factor_double = u;
    solver_.l_factor_single = solver_.l_factor_double = l;
    release_memory(solver_, solver_.work_array_kb);
    solver_.WorkArray = std::move(fresh);
    solver_.work_array_bytes = bytes;
    solver_.work_array_kb = kb_of_bytes(bytes);
    solver_.stack_offset = factor_bytes;
    solver_.Storage = storage - 1;
    worker_->set_stack(reinterpret_cast<T*>(stack_at), storage);
    OrlDebug(2, L"Delayed pivots: work area grown to %lld KB for the %s\n", static_cast<long long>(bytes / 1024),
             stack_elements > 0 ? "stack" : "factor");
  }

  // Files closed or, for a kept incore factor, written whole; pivot counts.
  void finish() {
    if (pivoting_) AdoptFactorStructure<K>(solver_, a_, z_.structure, worker_->counts(), nullptr);
    if (solver_.offcore) {
      close_files();
    } else if (solver_.save_factor) {
      WriteFactorRegion(solver_, 'U', solver_.u_factor_buffer(), solver_.NzU);
      if (!symmetric) WriteFactorRegion(solver_, 'L', solver_.l_factor_buffer(), pivoting_ ? solver_.NzU : solver_.NzU - n_);
    }
    if (pivoting_) ReportPivotCounts<K>(solver_, worker_->counts());
  }

  FactorizationShared<K, Stored> z_;
  tessar& solver_;
  YaleMatrix& a_;
  const bool pivoting_;
  const std::int32_t n_;
  std::unique_ptr<Worker> worker_;
  ChargedArray<Stored> staging_;
  FactorSink<Stored> u_sink_ = FactorSink<Stored>::incore(nullptr);
  FactorSink<Stored> l_sink_ = FactorSink<Stored>::incore(nullptr);
};

}  // namespace

template <class K>
int FactorFronts(tessar& solver, YaleMatrix& a, const SupernodeTree& tree, bool pivoting) {
  using T = typename K::scalar;
  if (solver.multi_thread) {
    if (solver.double_precision) return FactorFrontsInParallel<K, T>(solver, a, tree);
    return FactorFrontsInParallel<K, typename K::single>(solver, a, tree);
  }
  using S = typename K::single;
  if (solver.double_precision) return FrontalFactorization<K, T>(solver, a, tree, pivoting).run();
  if (PlainFrontsInSingle(solver) && !pivoting)
    return FrontalFactorization<K, S, SingleFronts<K>>(solver, a, tree, pivoting).run();
  return FrontalFactorization<K, S>(solver, a, tree, pivoting).run();
}

template int FactorFronts<RealSymmetric>(tessar&, YaleMatrix&, const SupernodeTree&, bool);
template int FactorFronts<RealUnsymmetric>(tessar&, YaleMatrix&, const SupernodeTree&, bool);
template int FactorFronts<ComplexSymmetric>(tessar&, YaleMatrix&, const SupernodeTree&, bool);
template int FactorFronts<ComplexUnsymmetric>(tessar&, YaleMatrix&, const SupernodeTree&, bool);
template int FactorFronts<ComplexHermitian>(tessar&, YaleMatrix&, const SupernodeTree&, bool);
