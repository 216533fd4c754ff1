#include "factor/factor_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/tessar.h"
#include "io/file_helpers.h"
#include "platform/core_library.h"
#include "platform/files.h"

namespace {

// The failure messages and log lines of one factor.
struct FactorTexts {
  const char* seek_failure;
  const char* read_failure;
  const char* write_failure;
  const char* index_read_failure;
  const wchar_t* index_loaded;
};

constexpr FactorTexts u_texts{"error fp to U", "Error reading partial U from disk", "Error writing partial U to disk",
                              "Error reading index of U file", L"index for U file is loaded\n"};
constexpr FactorTexts l_texts{"error fp to L", "Error reading partial L from disk", "Error writing partial L to disk",
                              "Error reading index of L file", L"index for L file is loaded\n"};

// One factor's file state and in-memory area, as the solver object holds them.
struct FactorState {
  std::FILE*& file;
  std::int64_t& position;
  const std::string& name;
  void* area;
  std::int64_t capacity;
  std::unique_ptr<std::int64_t[]>& diag_index;
  std::unique_ptr<std::int64_t[]>& offdiag_index;
  const FactorTexts& texts;
};

FactorState factor_state(tessar& solver, char factor) {
  if (factor == 'U')
    return {solver.u_file,      solver.u_file_position, solver.u_file_name,   solver.u_factor_buffer(),
            solver.u_factor_capacity, solver.UDiagIndex, solver.UOffdiagIndex, u_texts};
  if (factor == 'L')
    return {solver.l_file,      solver.l_file_position, solver.l_file_name,   solver.l_factor_buffer(),
            solver.l_factor_capacity, solver.LDiagIndex, solver.LOffdiagIndex, l_texts};
  solver.fatal("Unknown factor is specified", 1);
}

void open_factor_file(tessar& solver, char factor, const char* mode) {
  FactorState state = factor_state(solver, factor);
  if (state.file) std::fclose(state.file);
  state.file = nullptr;
  state.position = 0;
  state.file = open_in_work_dir(solver, state.name, mode);
}

// The state of a factor whose file is open, opening it with mode at the first
// transfer of a phase.
FactorState opened_factor(tessar& solver, char factor, const char* mode) {
  FactorState state = factor_state(solver, factor);
  if (!state.file) open_factor_file(solver, factor, mode);
  return state;
}

void seek_entry(tessar& solver, const FactorState& state, std::int64_t offset) {
  state.position = offset;
  if (seek64(state.file, offset * solver.elem_size, SeekFrom::start) != 0) solver.fatal(state.texts.seek_failure, 4);
}

// The start of the factor's in-memory area, which must hold count entries.
char* destination_area(tessar& solver, const FactorState& state, std::int64_t count) {
  if (count < 0 || (count > 0 && (!state.area || count > state.capacity)))
    solver.fatal("Factor entries exceed the in-memory factor area", 1);
  return static_cast<char*>(state.area);
}

// Reads count entries at an entry offset into destination, seeking only when
// the offset is not where the previous transfer ended; returns the byte after
// the entries read.
char* read_entries(tessar& solver, const FactorState& state, std::int64_t offset, std::int64_t count,
                   char* destination) {
  if (offset != state.position) seek_entry(solver, state, offset);
  const auto wanted = static_cast<std::size_t>(count);
  if (read_chunked(destination, static_cast<std::size_t>(solver.elem_size), wanted, state.file) < wanted) {
    const int error = errno;
    const std::string path = path_in_dir(solver.work_dir, state.name);
    if (std::ferror(state.file))
      solver.fatal(format_text("%s: %s: %s", state.texts.read_failure, path.c_str(), std::strerror(error)).c_str(), 4);
    solver.fatal(format_text("%s: %s holds fewer than %lld entries", state.texts.read_failure, path.c_str(),
                             static_cast<long long>(offset + count)).c_str(),
                 4);
  }
  state.position += count;
  return destination + count * solver.elem_size;
}

void read_index_file(tessar& solver, const std::string& name, std::int64_t* index, const char* failure) {
  std::FILE* file = open_in_work_dir(solver, name, "rb");
  const auto n = static_cast<std::size_t>(solver.NSuper);
  const std::size_t read = read_chunked(index, sizeof(std::int64_t), n, file);
  std::fclose(file);
  if (read < n) solver.fatal(failure, 4);
}

void write_index_file(tessar& solver, const std::string& name, const std::int64_t* index) {
  std::FILE* file = open_in_work_dir(solver, name, "wb");
  const auto n = static_cast<std::size_t>(solver.NSuper);
  const bool written = write_chunked(index, sizeof(std::int64_t), n, file) == n;
  if (std::fclose(file) != 0 || !written) solver.fatal("Error writing factorization into files", 200);
}

void load_factor_index(tessar& solver, char factor) {
  solver.allocate_factor_index(factor, solver.NSuper);
  FactorState state = factor_state(solver, factor);
  read_index_file(solver, factor_index_file_name(state.name, FactorIndexPart::diagonal), state.diag_index.get(),
                  state.texts.index_read_failure);
  read_index_file(solver, factor_index_file_name(state.name, FactorIndexPart::off_diagonal),
                  state.offdiag_index.get(), state.texts.index_read_failure);
  OrlDebug(2, state.texts.index_loaded);
}

// The index arrays come from the writer of this run or, at the first indexed
// read, from the index files; once there they stay until clean-up.
void ensure_index_loaded(tessar& solver) {
  if (solver.UDiagIndex) return;
  load_factor_index(solver, 'U');
  if (solver.symmetry == 1) load_factor_index(solver, 'L');
}

std::int64_t supernode_width(const tessar& solver, std::int32_t s) { return solver.SNode[s + 1] - solver.SNode[s]; }

std::int64_t supernode_entries(const tessar& solver, std::int32_t s) {
  return diagonal_block_entries(solver, s) + offdiagonal_block_entries(solver, s);
}

}  // namespace

void OpenUFile(tessar& solver, const char* mode) { open_factor_file(solver, 'U', mode); }
void OpenLFile(tessar& solver, const char* mode) { open_factor_file(solver, 'L', mode); }

void CloseFactorFile(tessar& solver, char factor) {
  FactorState state = factor_state(solver, factor);
  if (state.file) std::fclose(state.file);
  state.file = nullptr;
}

void SeekFactorFile(tessar& solver, char factor, std::int64_t offset) {
  seek_entry(solver, opened_factor(solver, factor, "rb"), offset);
}

std::int64_t ReadFactorRange(tessar& solver, std::int64_t offset, std::int64_t count, char factor) {
  FactorState state = opened_factor(solver, factor, "rb");
  read_entries(solver, state, offset, count, destination_area(solver, state, count));
  return count;
}

void WriteFactorEntries(tessar& solver, const void* buffer, std::int32_t entry_size, std::int64_t /*position*/,
                        std::int64_t count, char factor) {
  FactorState state = opened_factor(solver, factor, "wb");
  const auto wanted = static_cast<std::size_t>(count);
  const std::size_t written = write_chunked(buffer, static_cast<std::size_t>(entry_size), wanted, state.file);
  if (written < wanted) {
    const int error = errno;
    OrlDebug(1, L"Size_t %lld entries2write %lld entries_written %lld\n", static_cast<long long>(entry_size),
             static_cast<long long>(count), static_cast<long long>(written));
    solver.fatal(format_text("%s: %s: %s", state.texts.write_failure, path_in_dir(solver.work_dir, state.name).c_str(),
                             std::strerror(error)).c_str(),
                 200);
  }
  state.position += count;
}

void LoadSupernodeFactors(tessar& solver, std::int32_t first, std::int32_t last, char factor) {
  ensure_index_loaded(solver);
  FactorState state = opened_factor(solver, factor, "rb");
  if (first > last) return;
  std::int64_t total = 0;
  for (std::int32_t s = first; s <= last; ++s) total += supernode_entries(solver, s);
  char* destination = destination_area(solver, state, total);
  for (std::int32_t s = first; s <= last; ++s) {
    destination = read_entries(solver, state, state.diag_index[s], diagonal_block_entries(solver, s), destination);
    if (std::int64_t offdiag = offdiagonal_block_entries(solver, s); offdiag > 0)
      destination = read_entries(solver, state, state.offdiag_index[s], offdiag, destination);
  }
}

std::int64_t diagonal_block_entries(const tessar& solver, std::int32_t s) {
  const std::int64_t w = supernode_width(solver, s);
  return w * (w + 1) / 2;
}

std::int64_t offdiagonal_block_entries(const tessar& solver, std::int32_t s) {
  const std::int32_t f = solver.SNode[s];
  const std::int64_t w = supernode_width(solver, s);
  const std::int64_t r = solver.IU[f + 1] - solver.IU[f] - w;
  return r * w;
}

void WriteFactorIndex(tessar& solver) {
  for (const char factor : {'U', 'L'}) {
    if (factor == 'L' && solver.symmetry != 1) continue;
    FactorState state = factor_state(solver, factor);
    write_index_file(solver, factor_index_file_name(state.name, FactorIndexPart::diagonal), state.diag_index.get());
    write_index_file(solver, factor_index_file_name(state.name, FactorIndexPart::off_diagonal),
                     state.offdiag_index.get());
  }
}
