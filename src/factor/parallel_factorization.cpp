#include "factor/parallel_factorization.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "core/memory_monitor.h"
#include "core/progress.h"
#include "core/tessar.h"
#include "factor/factor_files.h"
#include "factor/factor_ring.h"
#include "factor/front_worker.h"
#include "factor/memory_plan.h"
#include "factor/supernode_tree.h"
#include "platform/blas.h"
#include "platform/core_library.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/threads.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Where the parallel factorization's blocks go: incore the factor region(s)
// of the WorkArray, each block at the next free offset (the same offset in
// U and L), grown where delayed pivots need more; offcore a record of the
// writer ring, which carries U's block followed by L's for the unsymmetric
// kinds.
template <class K, class Stored>
class ParallelBlockStore {
 public:
  using T = typename K::scalar;
  using Worker = FrontWorker<K, Stored>;
  static constexpr bool symmetric = K::symmetry != Symmetry::unsymmetric;

  ParallelBlockStore(tessar& solver, FactorWriteRing* ring)
      : solver_(solver), ring_(ring), offsets_(static_cast<std::size_t>(solver.NSuper), -1) {}

  void store(std::int32_t s, std::int32_t k, std::int64_t m, const T* front) {
    if (k == 0) return;
    const std::int64_t entries = Worker::block_entries(k, m);
    if (ring_) return to_ring(s, k, m, front, entries);
    std::int64_t at;
    {
      std::unique_lock lock(region_);
      if (fill_ + entries > solver_.u_factor_capacity) grow(fill_ + entries);
      at = fill_;
      fill_ += entries;
    }
    std::shared_lock lock(region_);
    auto u = FactorSink<Stored>::incore(static_cast<Stored*>(solver_.u_factor_buffer()) + at);
    auto l = FactorSink<Stored>::incore(symmetric ? nullptr : static_cast<Stored*>(solver_.l_factor_buffer()) + at);
    Worker::store_block(true, k, m, front, u, l);
    offsets_[static_cast<std::size_t>(s)] = at;
  }

  // Block offsets by supernode of the analysis (incore).
  const std::vector<std::int64_t>& offsets() const { return offsets_; }
  std::int64_t fill() const { return fill_; }

 private:
  void to_ring(std::int32_t s, std::int32_t k, std::int64_t m, const T* front, std::int64_t entries) {
    const std::int64_t payload = entries * static_cast<std::int64_t>(sizeof(Stored)) * (symmetric ? 1 : 2);
    std::byte* outside = nullptr;
    if (ring_->too_large(payload)) {
      add_memory(solver_, kb_of_bytes(static_cast<std::uint64_t>(payload)));
      outside = new (std::nothrow) std::byte[static_cast<std::size_t>(payload)];
      if (!outside) fatal_out_of_memory(solver_, factorization_memory_message);
    }
    std::byte* record = ring_->reserve(outside ? 0 : payload);
    if (!record) {
      // The writer failed and has said why; this thread only stops.
      delete[] outside;
      if (outside) release_memory(solver_, kb_of_bytes(static_cast<std::uint64_t>(payload)));
      throw TessarException(200, AString("Error writing factorization into files"));
    }
    auto* header = reinterpret_cast<FactorBlockHeader*>(record);
    header->kind = 0;
    header->supernode = s;
    header->entries = entries;
    header->diagonal = static_cast<std::int64_t>(k) * (k + 1) / 2;
    header->outside = outside;
    auto* out = reinterpret_cast<Stored*>(outside ? outside : record + FactorWriteRing::header_bytes);
    auto u = FactorSink<Stored>::incore(out);
    auto l = FactorSink<Stored>::incore(out + entries);
    Worker::store_block(true, k, m, front, u, l);
    ring_->publish(record, 1);
  }

  // A factor region of a quarter more than need entries, with what is
  // stored so far (the caller holds the region exclusively).
  void grow(std::int64_t need) {
    const std::int64_t capacity = need + need / 4, E = sizeof(Stored);
    const std::int64_t bytes = (symmetric ? capacity + (capacity & 1) : 2 * capacity) * E;
    add_memory(solver_, kb_of_bytes(bytes));
    std::unique_ptr<std::byte[]> fresh(new (std::nothrow) std::byte[bytes]);
    if (!fresh) fatal_out_of_memory(solver_, "Can not allocate WorkArray");
    std::byte* l = symmetric ? nullptr : fresh.get();
    std::byte* u = symmetric ? fresh.get() : fresh.get() + capacity * E;
    std::copy_n(static_cast<std::byte*>(solver_.u_factor_buffer()), fill_ * E, u);
    if (l) std::copy_n(static_cast<std::byte*>(solver_.l_factor_buffer()), fill_ * E, l);
    release_memory(solver_, solver_.work_array_kb);
    solver_.WorkArray = std::move(fresh);
    solver_.work_array_bytes = bytes;
    solver_.work_array_kb = kb_of_bytes(bytes);
    solver_.u_factor_single = solver_.u_factor_double = u;
    solver_.l_factor_single = solver_.l_factor_double = l;
    solver_.u_factor_capacity = capacity;
    solver_.l_factor_capacity = symmetric ? 0 : capacity;
    OrlDebug(2, L"Delayed pivots: work area grown to %lld KB for the factor\n", static_cast<long long>(bytes / 1024));
  }

  tessar& solver_;
  FactorWriteRing* ring_;
  std::shared_mutex region_;
  std::int64_t fill_ = 0;
  std::vector<std::int64_t> offsets_;
};

template <class K, class Stored>
class ParallelFactorization {
 public:
  using T = typename K::scalar;
  using Worker = FrontWorker<K, Stored>;
  static constexpr bool symmetric = K::symmetry != Symmetry::unsymmetric;
  static constexpr bool has_inertia = Worker::has_inertia;

  ParallelFactorization(tessar& solver, YaleMatrix& a, const SupernodeTree& tree)
      : z_(solver, a, tree, true), solver_(solver), a_(a), tree_(tree), root_(solver.NSuper - 1),
        threads_(std::max(solver.ncpu, 1)) {}

  int run() {
    report_progress(solver_, solver_.factor_progress_start);
    prepare();
    run_threads();
    if (failure_) {
      if (failure_->code() != 16) solver_.end_run(*failure_);
      OrlDebug(L"ERROR:   Singular matrix\n");
      return 16;
    }
    finish();
    return 0;
  }

 private:
  // One open front of the shared top.
  struct Front {
    std::int32_t s = 0;
    std::int64_t m = 0;
    int npiv = 0;
    FrontRows rows;
    ChargedArray<T> values;
    std::unique_ptr<ThresholdElimination<K>> elimination;
    ThresholdPanel panel;
    int outstanding = 0;  // update jobs of the current panel not yet done
  };

  enum class JobKind { branch, front, update };
  struct Job {
    JobKind kind = JobKind::branch;
    std::int32_t s = 0;
    Front* front = nullptr;
    int j0 = 0, j1 = 0;
  };

  struct Slot {
    std::unique_ptr<Worker> worker;
    double waited = 0;
  };

  void prepare() {
    solver_.max_front = static_cast<std::int32_t>(z_.longest_column);
    OrlDebug(2, L"Max front %d last SNode size = %d\n", solver_.max_front, z_.n - solver_.SNode[root_]);
    z_.prepare_pivoting();
    build_tree_links();
    choose_branches();
    allowed_ = current_ = std::max(solver_.allowed_fronts, 1);
    tile_ = std::max(solver_.block_size, 1);
    for (std::int32_t t = 0; t < threads_; ++t) {
      slots_.emplace_back();
      slots_.back().worker = std::make_unique<Worker>(z_);
      Worker& w = *slots_.back().worker;
      w.set_store([this](std::int32_t s, std::int32_t k, std::int64_t m, const T* front) {
        store_->store(s, k, m, front);
        z_.count_stored(Worker::block_entries(k, m));
      });
    }
  }

  // Parents, first descendants and the children each supernode waits for.
  void build_tree_links() {
    const auto count = static_cast<std::size_t>(solver_.NSuper);
    parent_.assign(count, -1);
    first_.resize(count);
    pending_.assign(count, 0);
    for (std::int32_t s = 0; s < solver_.NSuper; ++s) {
      first_[s] = s;
      pending_[s] = tree_.child_count(s);
      for (std::int32_t c = tree_.child_ptr[s]; c < tree_.child_ptr[s + 1]; ++c) {
        parent_[tree_.children[c]] = s;
        first_[s] = std::min(first_[s], first_[tree_.children[c]]);
      }
    }
  }

  // The analysis' branch roots (one thread: the whole tree); the supernodes
  // in no branch form the shared top, whose leaves are ready at once.
  void choose_branches() {
    const std::vector<std::int32_t>& listed = solver_.branches.BranchList;
    if (threads_ > 1) branches_ = listed;
    if (branches_.empty()) branches_.push_back(root_);
    std::vector<std::uint8_t> in_branch(static_cast<std::size_t>(solver_.NSuper), 0);
    for (const std::int32_t r : branches_) {
      if (r < 0 || r > root_) solver_.fatal("Memory error", 1);
      for (std::int32_t s = first_[r]; s <= r; ++s) {
        if (in_branch[s]) solver_.fatal("Memory error", 1);
        in_branch[s] = 1;
      }
    }
    std::int32_t top = 0;
    for (std::int32_t s = 0; s < solver_.NSuper; ++s) {
      if (in_branch[s]) continue;
      ++top;
      if (pending_[s] == 0) front_queue_.push_back({JobKind::front, s});
    }
    OrlDebug(2, L"Branches = %d, shared-top supernodes = %d\n", static_cast<int>(branches_.size()), top);
  }

  void run_threads() {
    std::unique_ptr<FactorWriteRing> ring;
    std::thread writer;
    if (solver_.offcore) {
      ring = std::make_unique<FactorWriteRing>(solver_.WorkArray.get(), solver_.work_array_bytes);
      const std::int32_t nsuper = solver_.NSuper;
      writer = start_thread([this, &ring, nsuper] {
        if (!guarded([&] { WriteFactorRing(solver_, *ring, nsuper); })) ring->abort();
      });
    }
    store_ = std::make_unique<ParallelBlockStore<K, Stored>>(solver_, ring.get());
    const bool throw_mode = solver_.throw_mode();
    solver_.set_throw_mode(true);
    blas::set_threads(1);
    std::vector<std::thread> threads;
    for (std::int32_t t = 0; t < threads_; ++t) threads.push_back(start_thread([this, t] { thread_body(t); }));
    for (std::thread& t : threads) t.join();
    if (ring) {
      if (failure_) ring->abort();
      else ring->close();
      writer.join();
    }
    blas::set_threads(threads_);
    solver_.set_throw_mode(throw_mode);
    double waited = 0;
    for (const Slot& slot : slots_) waited += slot.waited;
    OrlDebug(2, L"All threads are terminated.\n");
    OrlDebug(2, L"Average waiting time in each thread = %lf seconds\n", waited / threads_);
    pool_.clear();
    fronts_.clear();
  }

  // Runs work, keeping the first failure it raises; false when it failed.
  template <class Work>
  bool guarded(Work work) {
    try {
      work();
      return true;
    } catch (const TessarException& e) {
      fail(e.code(), e.message());
    } catch (const std::bad_alloc&) {
      fail(100, AString(factorization_memory_message));
    }
    return false;
  }

  void fail(std::int32_t code, const AString& message) {
    std::scoped_lock lock(lock_);
    if (!failure_) failure_.emplace(code, message);
    stopped_ = true;
    work_.notify_all();
  }

  bool stopped() {
    std::scoped_lock lock(lock_);
    return stopped_;
  }

  void thread_body(std::int32_t t) {
    const Clock::time_point start = Clock::now();
    // Each thread's dense work runs on that thread alone (the OpenMP
    // runtime keeps the thread count per thread).
    set_thread_count(1);
    OrlDebug(2, L"Thread %d launched\n", t);
    guarded([&] { worker_loop(t); });
    OrlDebug(2, L"Elapsed real time in thread %d for the factorization = %lf\n", t, seconds_since(start));
  }

  void worker_loop(std::int32_t t) {
    Worker& w = *slots_[static_cast<std::size_t>(t)].worker;
    std::unique_lock lock(lock_);
    while (!stopped_ && !root_done_) {
      Job job;
      if (take_job(job)) {
        lock.unlock();
        run_job(w, job);
        lock.lock();
        continue;
      }
      if (waiting_ + 1 == threads_) {
        // Nothing queued, nothing running: no job could ever appear.
        lock.unlock();
        fail(1, AString("Internal error: no job left for the factorization threads"));
        lock.lock();
        break;
      }
      ++waiting_;
      OrlDebug(3, L"Thread %d is waiting for a job to be available. Number of waiting threads = %d\n", t, waiting_);
      const Clock::time_point since = Clock::now();
      work_.wait(lock);
      --waiting_;
      const double waited = seconds_since(since);
      slots_[static_cast<std::size_t>(t)].waited += waited;
      OrlDebug(3, L"Thread %d resumes working. Waiting time = %le # of waiting threads = %d\n", t, waited, waiting_);
    }
    work_.notify_all();
  }

  // The next job in the queues' order (the caller holds the lock).
  bool take_job(Job& job) {
    if (!update_queue_.empty()) {
      job = update_queue_.front();
      update_queue_.pop_front();
      return true;
    }
    apply_memory_rule();
    if (open_ >= current_) return false;
    if (!front_queue_.empty()) {
      job = front_queue_.front();
      front_queue_.pop_front();
    } else if (next_branch_ < branches_.size()) {
      job = {JobKind::branch, branches_[next_branch_++]};
    } else {
      return false;
    }
    ++open_;
    return true;
  }

  // One front at a time while memory in use and the largest front would
  // pass 95 % of the soft limit; the allowed number again once they do not.
  void apply_memory_rule() {
    std::int64_t in_use;
    {
      std::scoped_lock lock(solver_.memory_section);
      in_use = solver_.memory_in_use;
    }
    const std::int64_t largest = solver_.max_front;
    const std::int64_t front_kb = largest * largest * static_cast<std::int64_t>(sizeof(T)) / 1024;
    if (static_cast<double>(in_use + front_kb) > 0.95 * static_cast<double>(solver_.Soft_Memory_Limit)) {
      if (current_ > 1) {
        current_ = 1;
        OrlDebug(2, L"Maximum allowed concurrent frontal matrices is switched to 1\n");
      }
    } else if (current_ == 1 && allowed_ > 1) {
      current_ = allowed_;
      OrlDebug(2, L"Maximum allowed concurrent frontal matrices is switched to %d\n", current_);
    }
  }

  void run_job(Worker& w, const Job& job) {
    switch (job.kind) {
      case JobKind::branch: return factor_branch(w, job.s);
      case JobKind::front: return open_front(w, job.s);
      case JobKind::update:
        if (update_tile(job.front, job.j0, job.j1)) drive_front(w, job.front);
        return;
    }
  }

  // A whole subtree on the thread's own stack; its root's update matrix
  // goes to the pool.
  void factor_branch(Worker& w, std::int32_t r) {
    std::int64_t stack = SubtreeStackEstimate(solver_, tree_, first_[r], r);
    w.use_private_stack(stack);
    OrlDebug(2, L"Memory required for this branch = %lld KB\n", static_cast<long long>(w.private_stack_kb()));
    for (std::int32_t s = first_[r]; s <= r; ++s) {
      if (stopped()) {
        w.release_private_stack();
        return;
      }
      if (!w.factor_pivoting_supernode(s)) {
        w.release_private_stack();
        fail(16, AString("Singular matrix"));
        return;
      }
    }
    if (r != root_) {
      const std::int64_t size = update_size(z_.update_orders[static_cast<std::size_t>(r)]);
      auto entry = pool_entry(size);
      std::copy_n(w.top_update(size), size, entry->data());
      push_to_pool(r, std::move(entry));
    }
    w.release_private_stack();
    finish_node(r);
  }

  static std::int64_t update_size(std::int64_t x) { return FactorizationShared<K, Stored>::update_size(x); }

  std::unique_ptr<ChargedArray<T>> pool_entry(std::int64_t size) {
    auto entry = std::make_unique<ChargedArray<T>>();
    entry->allocate(solver_, static_cast<std::size_t>(size), "Can't allocate temp memory for update matrix");
    entry->back_now();
    return entry;
  }

  void push_to_pool(std::int32_t s, std::unique_ptr<ChargedArray<T>> entry) {
    std::scoped_lock lock(lock_);
    pool_[s] = std::move(entry);
    OrlDebug(3, L"Update matrix from %d has been pushed in to the pool.\n", s);
  }

  std::unique_ptr<ChargedArray<T>> take_from_pool(std::int32_t c, std::int32_t s) {
    std::scoped_lock lock(lock_);
    auto found = pool_.find(c);
    if (found == pool_.end()) {
      OrlDebug(1, L"Searching update matrix %d by %d failed.\n", c, s);
      solver_.fatal("Error occured searching an update matrix.", 1);
    }
    std::unique_ptr<ChargedArray<T>> entry = std::move(found->second);
    pool_.erase(found);
    return entry;
  }

  // A ready supernode of the shared top: its front allocated, filled from
  // the pool and A, then factored from its first panel on.
  void open_front(Worker& w, std::int32_t s) {
    auto front = std::make_unique<Front>();
    Front& f = *front;
    f.s = s;
    w.start_shared_front(s, f.rows);
    f.m = static_cast<std::int64_t>(f.rows.rows.size());
    f.npiv = static_cast<int>(f.rows.delayed_in + solver_.SNode[s + 1] - solver_.SNode[s]);
    f.values.allocate(solver_, static_cast<std::size_t>(f.m * f.m), "Couldn't allocate memory for frontal matrix");
    f.values.back_now();
    std::fill(f.values.begin(), f.values.end(), T(0));
    for (std::int32_t c = tree_.child_ptr[s]; c < tree_.child_ptr[s + 1]; ++c) {
      const std::int32_t child = tree_.children[c];
      std::unique_ptr<ChargedArray<T>> update = take_from_pool(child, s);
      w.extend_add_copy(child, update->data(), f.m, f.values.data());
    }
    w.assemble_entries(s, f.m, f.values.data());
    w.prepare_records(f.rows, f.m, f.npiv);
    ThresholdRule rule = z_.rule;
    rule.forced = s == root_;
    f.elimination = std::make_unique<ThresholdElimination<K>>(static_cast<int>(f.m), f.npiv, f.values.data(), rule,
                                                              f.rows.order.data(), f.rows.record.data());
    {
      std::scoped_lock lock(lock_);
      fronts_[s] = std::move(front);
    }
    drive_front(w, &f);
  }

  // Panels of front f in turn; each panel's update is cut into column tiles,
  // all but one queued for any thread. Returns once the front is finished
  // or another thread will go on with it (the one that ends the panel's last
  // tile).
  void drive_front(Worker& w, Front* f) {
    ThresholdPanel panel;
    for (;;) {
      if (stopped()) return;
      if (!f->elimination->next_panel(panel)) return finish_front(w, f);
      if (!f->elimination->needs_update(panel)) continue;
      const int m = static_cast<int>(f->m);
      const int tiles = (m - panel.right + tile_ - 1) / tile_;
      if (tiles == 1) {
        f->elimination->update_columns(panel, panel.right, m);
        continue;
      }
      {
        std::scoped_lock lock(lock_);
        f->panel = panel;
        f->outstanding = tiles;
        for (int t = 1; t < tiles; ++t) {
          const int j0 = panel.right + t * tile_;
          update_queue_.push_back({JobKind::update, f->s, f, j0, std::min(m, j0 + tile_)});
        }
        work_.notify_all();
      }
      if (!update_tile(f, panel.right, panel.right + tile_)) return;
    }
  }

  // One tile of the current panel's update; true for the tile that ends it.
  bool update_tile(Front* f, int j0, int j1) {
    f->elimination->update_columns(f->panel, j0, j1);
    std::scoped_lock lock(lock_);
    return --f->outstanding == 0;
  }

  void finish_front(Worker& w, Front* f) {
    const FrontElimination e = f->elimination->finish();
    if (e.singular) return fail(16, AString("Singular matrix"));
    const std::int32_t s = f->s;
    const std::int64_t m = f->m;
    w.close_front(s, f->rows, e, f->npiv, m);
    const std::int32_t taken = e.eliminated;
    store_->store(s, taken, m, f->values.data());
    z_.count_stored(Worker::block_entries(taken, m));
    if constexpr (has_inertia) w.count_inertia(f->rows, taken, m, f->values.data());
    if (s != root_) {
      auto entry = pool_entry(update_size(m - taken));
      Worker::copy_update(taken, m, f->values.data(), entry->data());
      f->values.release();
      push_to_pool(s, std::move(entry));
    }
    std::unique_ptr<Front> closing;
    {
      std::scoped_lock lock(lock_);
      closing = std::move(fronts_[s]);
      fronts_.erase(s);
    }
    closing.reset();
    finish_node(s);
  }

  // Supernode s is done: its parent's front job is queued once all its
  // children are.
  void finish_node(std::int32_t s) {
    std::scoped_lock lock(lock_);
    --open_;
    if (s == root_) {
      root_done_ = true;
    } else if (const std::int32_t p = parent_[s]; --pending_[p] == 0) {
      front_queue_.push_back({JobKind::front, p});
    }
    work_.notify_all();
  }

  void finish() {
    WorkerCounts counts;
    for (const Slot& slot : slots_) counts.add(slot.worker->counts());
    slots_.clear();
    std::vector<std::int32_t> number;
    AdoptFactorStructure<K>(solver_, a_, z_.structure, counts, &number);
    if (solver_.offcore) finish_offcore(number);
    else finish_incore(number);
    ReportPivotCounts<K>(solver_, counts);
  }

  // Renumbers per-supernode values of the analysis to the factor's supernodes.
  std::unique_ptr<std::int64_t[]> renumbered(const std::int64_t* values, const std::vector<std::int32_t>& number) {
    std::unique_ptr<std::int64_t[]> out(new std::int64_t[static_cast<std::size_t>(std::max(solver_.NSuper, 1))]);
    for (std::size_t s = 0; s < number.size(); ++s)
      if (number[s] >= 0) out[static_cast<std::size_t>(number[s])] = values[s];
    return out;
  }

  // The block index in the factor's numbering, written beside the files;
  // the ring's area is given back.
  void finish_offcore(const std::vector<std::int32_t>& number) {
    for (const char factor : {'U', 'L'}) {
      if (factor == 'L' && symmetric) continue;
      auto& diag = factor == 'U' ? solver_.UDiagIndex : solver_.LDiagIndex;
      auto& offdiag = factor == 'U' ? solver_.UOffdiagIndex : solver_.LOffdiagIndex;
      diag = renumbered(diag.get(), number);
      offdiag = renumbered(offdiag.get(), number);
    }
    WriteFactorIndex(solver_);
    release_memory(solver_, solver_.work_array_kb);
    solver_.WorkArray.reset();
    solver_.work_array_bytes = 0;
    solver_.work_array_kb = 0;
    solver_.u_factor_single = solver_.u_factor_double = nullptr;
    solver_.l_factor_single = solver_.l_factor_double = nullptr;
  }

  // The blocks stay where they were stored; the solution phase finds each
  // through factor_block_at. A kept factor is written as it lies, with its
  // block index.
  void finish_incore(const std::vector<std::int32_t>& number) {
    const std::vector<std::int64_t>& offsets = store_->offsets();
    std::vector<std::int64_t>& at = solver_.factor_block_at;
    at.assign(static_cast<std::size_t>(solver_.NSuper), 0);
    for (std::size_t s = 0; s < number.size(); ++s)
      if (number[s] >= 0) at[static_cast<std::size_t>(number[s])] = offsets[s];
    if (!solver_.save_factor) return;
    WriteFactorRegion(solver_, 'U', solver_.u_factor_buffer(), store_->fill());
    if (!symmetric) WriteFactorRegion(solver_, 'L', solver_.l_factor_buffer(), store_->fill());
    for (const char factor : {'U', 'L'}) {
      if (factor == 'L' && symmetric) continue;
      solver_.allocate_factor_index(factor, solver_.NSuper);
      std::int64_t* diag = (factor == 'U' ? solver_.UDiagIndex : solver_.LDiagIndex).get();
      std::int64_t* offdiag = (factor == 'U' ? solver_.UOffdiagIndex : solver_.LOffdiagIndex).get();
      for (std::int32_t s = 0; s < solver_.NSuper; ++s) {
        diag[s] = at[static_cast<std::size_t>(s)];
        offdiag[s] = diag[s] + diagonal_block_entries(solver_, s);
      }
    }
    WriteFactorIndex(solver_);
  }

  FactorizationShared<K, Stored> z_;
  tessar& solver_;
  YaleMatrix& a_;
  const SupernodeTree& tree_;
  const std::int32_t root_;
  const std::int32_t threads_;
  std::vector<Slot> slots_;
  std::unique_ptr<ParallelBlockStore<K, Stored>> store_;

  std::vector<std::int32_t> parent_, first_, pending_;
  std::vector<std::int32_t> branches_;
  int tile_ = 128;

  // Under lock_: the queues, the branches taken, the open fronts and their
  // limits, the pool, the children each supernode still waits for (its
  // status: ready at 0, done once its parent's count went down), waiting
  // threads, the failure and the end.
  std::mutex lock_;
  std::condition_variable work_;
  std::deque<Job> update_queue_, front_queue_;
  std::size_t next_branch_ = 0;
  std::int32_t open_ = 0, allowed_ = 1, current_ = 1;
  std::map<std::int32_t, std::unique_ptr<ChargedArray<T>>> pool_;
  std::map<std::int32_t, std::unique_ptr<Front>> fronts_;
  std::int32_t waiting_ = 0;
  std::optional<TessarException> failure_;
  bool stopped_ = false;
  bool root_done_ = false;
};

}  // namespace

template <class K, class Stored>
int FactorFrontsInParallel(tessar& solver, YaleMatrix& a, const SupernodeTree& tree) {
  return ParallelFactorization<K, Stored>(solver, a, tree).run();
}

template int FactorFrontsInParallel<RealSymmetric, double>(tessar&, YaleMatrix&, const SupernodeTree&);
template int FactorFrontsInParallel<RealSymmetric, float>(tessar&, YaleMatrix&, const SupernodeTree&);
template int FactorFrontsInParallel<RealUnsymmetric, double>(tessar&, YaleMatrix&, const SupernodeTree&);
template int FactorFrontsInParallel<RealUnsymmetric, float>(tessar&, YaleMatrix&, const SupernodeTree&);
template int FactorFrontsInParallel<ComplexSymmetric, std::complex<double>>(tessar&, YaleMatrix&,
                                                                            const SupernodeTree&);
template int FactorFrontsInParallel<ComplexSymmetric, std::complex<float>>(tessar&, YaleMatrix&, const SupernodeTree&);
template int FactorFrontsInParallel<ComplexUnsymmetric, std::complex<double>>(tessar&, YaleMatrix&,
                                                                              const SupernodeTree&);
template int FactorFrontsInParallel<ComplexUnsymmetric, std::complex<float>>(tessar&, YaleMatrix&,
                                                                             const SupernodeTree&);
template int FactorFrontsInParallel<ComplexHermitian, std::complex<double>>(tessar&, YaleMatrix&,
                                                                            const SupernodeTree&);
template int FactorFrontsInParallel<ComplexHermitian, std::complex<float>>(tessar&, YaleMatrix&,
                                                                           const SupernodeTree&);
