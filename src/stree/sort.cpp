// The suffix array and LCP array of a whole text block, for building a tree
// all at once (build.cpp): the suffixes are sorted by induced sorting
// (SA-IS), then the common prefixes are found by the Φ method.  The sorter
// began as the benchmark's own SA-IS (measured against libdivsufsort: the
// fourth round of bench/CHANGES.md) and is here on the library's terms:
// memory comes through the build's counting allocator (the first
// section below), so that a test can make any allocation fail, nothing
// throws, and nothing recurses.
//
// SA-IS in brief.  A suffix is S-type when it is smaller than the suffix
// one to its right, L-type when larger (equal first codes: the type of the
// right neighbour); an S-type suffix whose left neighbour is L-type is an
// LMS suffix.  With the LMS suffixes in order at their buckets' ends, one
// scan from the left puts every L-type suffix in place and one scan from
// the right every S-type suffix ("inducing").  The LMS suffixes are put in
// order by the same inducing applied to the LMS substrings (each LMS
// position up to the next), which are then named by rank: when names
// repeat, the string of names, one level up, is sorted in turn.
//
// The levels are two loops: level j+1's string lies in the tail of level
// j's part of sa and its suffix array in the head, so one array of n + 1
// entries serves every level.  Each level at most halves the string.
//
// On threads, the placing steps of the inducing scans stay on one (each
// reads what the steps before it wrote), while a second thread reads ahead
// for them what they look up (the section on two threads below).  The
// passes whose steps are independent are split among the threads: the
// types (each part learns the type after it by looking right), the first
// level's counts and placing of the LMS suffixes (each part learns where
// its run of every bucket ends), the listing of the LMS positions, the
// emptying of sa, the comparisons of the LMS substrings that the naming
// makes, the gather that turns ranks into positions, and the LCP values.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "parts.h"
#include "stree_internal.h"

STREE_NS_BEGIN

// ===== Memory ===============================================================
// Every allocation of the build in one go, this sorter's and the build's
// own, is counted here, so that a test can make any one of them fail.

namespace {

// Allocations asked for since the process started: counted by any thread
// (the link walks grow their stacks on threads of their own).  A failure is
// armed only while the build runs on one thread (int_stree_build).
std::atomic<long> requests{0};
long fail_at = 0;  // the request that fails; 0 = never

// Counts a request; true when it is the one a test has said fails.
bool refused() {
  const long n = requests.fetch_add(1, std::memory_order_relaxed) + 1;
  if (fail_at > 0 && n == fail_at) {
    fail_at = 0;
    return true;
  }
  return false;
}

}  // namespace

void* int_stree_build_take(size_t count, size_t size, stree_build_pages pages) {
  if (refused() || count > SIZE_MAX / size) return nullptr;
  // The big arrays are read all over, so their pages' translations would
  // miss about as often as their lines: they are offered as huge pages.
  if (pages == STREE_HUGE_PAGES) return int_stree_alloc_scattered(count * size);
  return std::malloc(count * size);
}

void* int_stree_build_grow(void* p, size_t count, size_t size) {
  if (refused() || count > SIZE_MAX / size) return nullptr;
  return std::realloc(p, count * size);
}

void stree_build_fail_at(long n) { fail_at = n > 0 ? requests.load() + n : 0; }

bool int_stree_build_fail_armed() { return fail_at > 0; }

namespace {

template <class T>
T* take_array(size_t count, stree_build_pages pages = STREE_HUGE_PAGES) {
  return static_cast<T*>(int_stree_build_take(count, sizeof(T), pages));
}

// ===== Reading ahead ========================================================

// Most passes below touch one place per step that its address cannot
// predict (the text left of a suffix, a scatter into Φ, a gather from
// PLCP), but the index that gives the place is read in order, so the place
// of the step kAhead steps on is known now and is asked of memory in
// advance.  Without this, from a few megabytes on nearly every one of those
// touches misses the caches and waits; with it they overlap.  A place read
// ahead that changes before its step comes (an entry of sa filled in
// meanwhile) costs one wasted fetch, never a wrong result.
constexpr int32_t kAhead = 32;

template <bool kForWrite = false, class T>
inline void fetch_ahead(const T* at) {
  __builtin_prefetch(at, kForWrite ? 1 : 0);
}

// ===== Passes on threads ====================================================

constexpr int kMostParts = 256;

// Runs pass(k, from, to) on `parts` threads over [0, n) split evenly, every
// bound but n a multiple of `align` (a part may then be empty).
template <typename F>
void split(int32_t n, int parts, F&& pass, int32_t align = 1) {
  const auto bound = [&](int k) {
    return k == parts ? n
                      : static_cast<int32_t>(stree_part_start(n, parts, k)) / align * align;
  };
  stree_run_parts(parts, [&](int k) { pass(k, bound(k), bound(k + 1)); });
}

// Sets sa[from, to) to -1 (empty), on `parts` threads.
inline void clear_entries(int32_t* sa, int32_t from, int32_t to, int parts) {
  split(to - from, parts, [&](int, int32_t a, int32_t b) {
    std::fill(sa + from + a, sa + from + b, -1);
  });
}

// ===== The strings sorted ===================================================

// Level 0's string: the block read as n + 1 codes, each byte one above its
// value (a NUL is 1) and after them the virtual sentinel, 0, the one
// smallest.  So the block is sorted without a wider copy of it.  Levels
// above read their strings of names straight from sa (const int32_t*).
struct block_codes {
  const unsigned char* block;
  int32_t n;  // the sentinel's position
  int32_t operator[](int32_t i) const {
    return i == n ? 0 : int32_t{block[i]} + 1;
  }
};
constexpr int32_t kBlockCodes = 257;

// Where code i of a string lies, to read it ahead.
inline const void* code_at(const block_codes& t, int32_t i) { return t.block + i; }
inline const void* code_at(const int32_t* t, int32_t i) { return t + i; }

// ===== One level's tables ===================================================

// What a pass over one level needs besides sa: the type of every position
// (bit set: S-type), the number of times each code occurs, and one bucket
// bound per code.  A level's tables serve its way down (reduce) and its
// way up (expand).  Level 0's are kept between the two, so that the block's
// types are found once (n / 8 bytes, held while the levels above are
// sorted); those above are made for each pass and freed when it
// ends, so that at most one of them exists at a time.
struct level_tables {
  uint64_t* s_bits = nullptr;
  int32_t* counts = nullptr;
  int32_t* bounds = nullptr;

  level_tables() = default;
  level_tables(const level_tables&) = delete;
  level_tables& operator=(const level_tables&) = delete;
  ~level_tables() {
    std::free(s_bits);
    std::free(counts);
    std::free(bounds);
  }

  bool open() const { return s_bits != nullptr; }
  bool s(int32_t i) const { return s_bits[i >> 6] >> (i & 63) & 1; }
  const uint64_t* s_word(int32_t i) const { return s_bits + (i >> 6); }
  bool lms(int32_t i) const { return i > 0 && s(i) && !s(i - 1); }
  // The LMS positions among 64w .. 64w + 63, as bits.
  uint64_t lms_word(size_t w) const {
    const uint64_t left = s_bits[w] << 1 | (w > 0 ? s_bits[w - 1] >> 63 : 1);
    return s_bits[w] & ~left;
  }

  // Each code's bucket start in sa, or its end when `ends`, into bounds.
  void set_bounds(int32_t k, bool ends) {
    int32_t sum = 0;
    for (int32_t c = 0; c < k; ++c) {
      sum += counts[c];
      bounds[c] = ends ? sum : sum - counts[c];
    }
  }
};

// The type of position i of t[0..n) (true: S-type), from the first code to
// its right that differs from its own (the sentinel differs from all).
template <class Str>
bool type_at(const Str& t, int32_t n, int32_t i) {
  while (i + 1 < n && t[i] == t[i + 1]) ++i;
  return i + 1 == n || t[i] < t[i + 1];
}

// The types of the positions [from, to) into `bits` (zero there), from the
// right: the sentinel, or the known type of the position after them.  A
// part's bits are whole words of its own when `from` and `to` are
// multiples of 64 (or `to` is n).  A word's bits gather in a register and
// are stored once it is done: setting each in memory made every step wait
// for the last one's store.
template <class Str>
void find_types(const Str& t, int32_t n, int32_t from, int32_t to, uint64_t* bits) {
  if (from >= to) return;
  int32_t i = to - 1;
  uint64_t next_s = 1;
  if (to == n) {
    bits[i >> 6] |= uint64_t{1} << (i & 63);  // the sentinel
    --i;
  } else {
    next_s = type_at(t, n, to);
  }
  uint64_t word = 0;  // the bits of word i >> 6 found so far
  for (; i >= from; --i) {
    const int32_t a = t[i], b = t[i + 1];
    next_s = static_cast<uint64_t>(a < b) | (static_cast<uint64_t>(a == b) & next_s);
    word |= next_s << (i & 63);
    if ((i & 63) == 0 || i == from) {
      bits[i >> 6] |= word;
      word = 0;
    }
  }
}

// Takes the tables of the string t[0..n) over codes 0..k-1 (its last code
// the unique smallest) and fills in the types and counts, on `parts`
// threads (the counts of codes beyond level 0's on this one alone: each
// part would need a table of them); nothing when they are open already.
// False when memory runs out; the destructor frees what was taken.
template <class Str>
bool open_tables(const Str& t, int32_t n, int32_t k, level_tables* lt, int parts) {
  if (lt->open()) return true;
  const size_t words = static_cast<size_t>(n) / 64 + 1;
  if (!(lt->s_bits = take_array<uint64_t>(words))) return false;
  if (!(lt->counts = take_array<int32_t>(static_cast<size_t>(k)))) return false;
  if (!(lt->bounds = take_array<int32_t>(static_cast<size_t>(k)))) return false;
  std::memset(lt->s_bits, 0, words * sizeof *lt->s_bits);
  std::memset(lt->counts, 0, static_cast<size_t>(k) * sizeof(int32_t));
  const bool count_in_parts = k <= kBlockCodes;
  std::mutex merge;
  split(n, parts, [&](int, int32_t from, int32_t to) {
    find_types(t, n, from, to, lt->s_bits);
    if (!count_in_parts) return;
    int32_t counts[kBlockCodes] = {};
    const Str codes = t;  // a copy of its own: no store to counts can move it
    for (int32_t i = from; i < to; ++i) ++counts[codes[i]];
    const std::lock_guard<std::mutex> hold(merge);
    for (int32_t c = 0; c < k; ++c) lt->counts[c] += counts[c];
  }, 64);
  if (!count_in_parts)
    for (int32_t i = 0; i < n; ++i) ++lt->counts[t[i]];
  return true;
}

// ===== Induced sorting ======================================================

// Reads ahead the codes at and left of a suffix, which the inducing step
// on it looks at (below).
template <class Str>
inline void fetch_left_of_suffix(const Str& t, int32_t suffix) {
  if (suffix > 0) fetch_ahead(code_at(t, suffix - 1));
}
template <class Str>
inline void fetch_left_of(const Str& t, const int32_t* sa, int32_t i) {
  fetch_left_of_suffix(t, sa[i]);
}

// The type of suffix v - 1 (true: S-type), as a scan from the left
// (kLeft) or from the right meets suffix v, from the codes at v - 1 and v
// (mostly one cache line), not from the types' bits, a place of its own
// that would miss the caches as often.  Codes that differ give the type;
// equal ones give v's, which the scan from the left need not read: it
// meets only LMS suffixes (whose left neighbours are L-type, of a larger
// code) and L-type ones (whose left neighbours, of an equal code, are
// L-type too).  The scan from the right reads it in the bits, for equal
// codes only.
template <bool kLeft, class Str>
inline bool left_is_s(const Str& t, const level_tables& lt, int32_t v) {
  const int32_t left = t[v - 1], here = t[v];
  if (kLeft || left != here) return left < here;
  return lt.s(v - 1);
}

// ===== Inducing on two threads ==============================================

// A scan's steps each read the code and type left of one entry of sa, at
// places nothing predicts, and so spend most of their time waiting on
// memory.  With a second thread the scan goes in blocks: while this thread
// places the suffixes of one block, the helper reads, for the last entries
// of the next block (its tail), each entry's suffix with its code and type
// into a note.  Reaching the tail, this thread takes a note whose suffix is
// still the entry's, and looks up as before an entry that the scan filled
// in since.  The placing is this thread's alone, in the scan's order, so
// the result is the one thread's; timing decides only who does the reading.
//
// The tail's length follows whichever thread waited on the other, so that
// the reading is shared as evenly as the two allow.  A block is claimed,
// once, by whichever thread comes first: this thread takes whole any block
// the helper has not claimed, and so never waits on a helper that is not
// running (one the system refused, which then runs after this thread).
// While the helper may read sa, every access to sa goes through
// std::atomic_ref (relaxed: plain loads and stores here).

// One entry read ahead: its suffix, and the code and type left of it.
struct induce_note {
  int32_t suffix;
  uint32_t code_type;  // the code (below 2^31), and the type (S) in the top bit
};
constexpr uint32_t kNoteS = uint32_t{1} << 31;

// Blocks of a sixteenth of the scan, but of this many entries at most (two
// blocks of notes take 128 KB) and at least this many; a scan of fewer
// than four of the least blocks runs on one thread.
constexpr int32_t kMostBlock = 8192, kLeastBlock = 64;
// Turns of a wait spent spinning before sleeping.
constexpr int kSpins = 4096;

// What the two threads of one scan share.
struct induce_pipe {
  int32_t n = 0;
  int32_t block = 0;
  int64_t blocks = 0;
  induce_note* notes[2] = {};  // for blocks of even and odd number
  std::atomic<int64_t> at{-1};       // the block this thread places; blocks once done
  std::atomic<int64_t> claimed{-1};  // the last block claimed, by either thread
  std::atomic<int64_t> ready[2] = {-1, -1};  // the block whose notes are made
  std::atomic<int32_t> tail_from[2] = {0, 0};  // where a claimed block's tail starts
  std::atomic<bool> waited{false};   // this thread waited on the notes
};

// Returns once `value` is no longer `seen`: spins a while (the other
// thread is usually a block's work away), then sleeps until told.
inline void wait_while(const std::atomic<int64_t>& value, int64_t seen) {
  for (int spins = 0; value.load(std::memory_order_acquire) == seen; ++spins) {
    if (spins < kSpins) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    } else {
      value.wait(seen, std::memory_order_acquire);
    }
  }
}

inline int32_t load_sa(int32_t* sa, int32_t i) {
  return std::atomic_ref<int32_t>(sa[i]).load(std::memory_order_relaxed);
}
inline void store_sa(int32_t* sa, int32_t i, int32_t v) {
  std::atomic_ref<int32_t>(sa[i]).store(v, std::memory_order_relaxed);
}

// The entry of sa at step p of a scan from the left (kLeft) or the right.
template <bool kLeft>
inline int32_t step_entry(int32_t n, int32_t p) { return kLeft ? p : n - 1 - p; }

// Places suffix v - 1, of code c and type s, when the scan places its type.
template <bool kLeft>
inline void place(int32_t* sa, int32_t* b, int32_t v, int32_t c, bool s) {
  if (v <= 0 || s == kLeft) return;
  if (kLeft) store_sa(sa, b[c]++, v - 1);
  else store_sa(sa, --b[c], v - 1);
}

// The helper: the notes of the tail of the block after the one this thread
// places, until this thread is on the last block.
template <bool kLeft, class Str>
void read_ahead_notes(const Str& t, const level_tables& lt, int32_t* sa, induce_pipe* pipe) {
  const int32_t step = pipe->block / 32 > 0 ? pipe->block / 32 : 1;
  int32_t tail = pipe->block / 2;
  bool idle = false;
  for (;;) {
    const int64_t x = pipe->at.load(std::memory_order_acquire), y = x + 1;
    if (y >= pipe->blocks) return;
    int64_t last = pipe->claimed.load(std::memory_order_acquire);
    if (last >= y) {  // this block's notes are made: wait for the next
      idle = true;
      wait_while(pipe->at, x);
      continue;
    }
    if (pipe->waited.exchange(false, std::memory_order_relaxed)) tail = std::max(tail - step, 0);
    else if (idle) tail = std::min(tail + step, pipe->block);
    idle = false;
    const int32_t from = static_cast<int32_t>(y * pipe->block);
    const int32_t to = std::min(pipe->n, from + pipe->block);
    const int32_t tail_from = std::max(to - tail, from);
    pipe->tail_from[y & 1].store(tail_from - from, std::memory_order_relaxed);
    if (!pipe->claimed.compare_exchange_strong(last, y, std::memory_order_acq_rel)) continue;
    induce_note* note = pipe->notes[y & 1];
    for (int32_t p = tail_from; p < to; ++p) {
      if (p + kAhead < to)
        fetch_left_of_suffix(t, load_sa(sa, step_entry<kLeft>(pipe->n, p + kAhead)));
      const int32_t v = load_sa(sa, step_entry<kLeft>(pipe->n, p));
      induce_note& e = note[p - tail_from];
      e.suffix = v;
      if (v > 0)
        e.code_type = static_cast<uint32_t>(t[v - 1]) | (left_is_s<kLeft>(t, lt, v) ? kNoteS : 0);
    }
    pipe->ready[y & 1].store(y, std::memory_order_release);
    pipe->ready[y & 1].notify_one();
  }
}

// This thread's part: every block in order, its head looked up here, its
// tail from the notes when the helper claimed the block.
template <bool kLeft, class Str>
void place_blocks(const Str& t, const level_tables& lt, int32_t* sa, int32_t* b,
                  induce_pipe* pipe) {
  const int32_t n = pipe->n;
  for (int64_t x = 0; x < pipe->blocks; ++x) {
    int64_t last = pipe->claimed.load(std::memory_order_acquire);
    const bool helped =
        last >= x || !pipe->claimed.compare_exchange_strong(last, x, std::memory_order_acq_rel);
    pipe->at.store(x, std::memory_order_release);
    pipe->at.notify_one();
    const int32_t from = static_cast<int32_t>(x * pipe->block);
    const int32_t to = std::min(n, from + pipe->block);
    const int32_t tail_from =
        helped ? from + pipe->tail_from[x & 1].load(std::memory_order_relaxed) : to;
    for (int32_t p = from; p < tail_from; ++p) {
      if (p + kAhead < to)
        fetch_left_of_suffix(t, load_sa(sa, step_entry<kLeft>(n, p + kAhead)));
      const int32_t v = load_sa(sa, step_entry<kLeft>(n, p));
      if (v > 0) place<kLeft>(sa, b, v, t[v - 1], left_is_s<kLeft>(t, lt, v));
    }
    if (!helped) continue;
    for (int64_t seen; (seen = pipe->ready[x & 1].load(std::memory_order_acquire)) != x;) {
      pipe->waited.store(true, std::memory_order_relaxed);
      wait_while(pipe->ready[x & 1], seen);
    }
    const induce_note* note = pipe->notes[x & 1];
    for (int32_t p = tail_from; p < to; ++p) {
      // An entry filled in since its note was made is read ahead here.
      if (p + kAhead < to) {
        const int32_t ahead = load_sa(sa, step_entry<kLeft>(n, p + kAhead));
        if (note[p + kAhead - tail_from].suffix != ahead) fetch_left_of_suffix(t, ahead);
      }
      const int32_t v = load_sa(sa, step_entry<kLeft>(n, p));
      if (v <= 0) continue;
      const induce_note& e = note[p - tail_from];
      if (e.suffix == v)
        place<kLeft>(sa, b, v, static_cast<int32_t>(e.code_type & ~kNoteS),
                     (e.code_type & kNoteS) != 0);
      else
        place<kLeft>(sa, b, v, t[v - 1], left_is_s<kLeft>(t, lt, v));
    }
  }
  pipe->at.store(pipe->blocks, std::memory_order_release);
  pipe->at.notify_one();
}

// One scan on two threads.
template <bool kLeft, class Str>
void induce_scan_pipelined(const Str& t, int32_t n, const level_tables& lt, int32_t* sa,
                           int32_t* b, induce_note* notes, int32_t block) {
  induce_pipe pipe;
  pipe.n = n;
  pipe.block = block;
  pipe.blocks = (n + block - 1) / block;
  pipe.notes[0] = notes;
  pipe.notes[1] = notes + block;
  stree_run_parts(2, [&](int k) {
    if (k == 0) place_blocks<kLeft>(t, lt, sa, b, &pipe);
    else read_ahead_notes<kLeft>(t, lt, sa, &pipe);
  });
}

// With the LMS suffixes in sa at their buckets' ends (-1 elsewhere), puts
// the L-type suffixes in place from the left, then the S-type suffixes from
// the right (overwriting the LMS entries with the same suffixes in order).
// With two parts or more, each scan runs on two threads (above).  False
// when memory runs out.
template <class Str>
bool induce(const Str& t, int32_t n, int32_t k, level_tables* lt, int32_t* sa, int parts) {
  int32_t* b = lt->bounds;
  const int32_t block = std::clamp(n / 16, kLeastBlock, kMostBlock);
  induce_note* notes = nullptr;
  if (parts > 1 && n >= 4 * kLeastBlock &&  // else not worth a thread
      !(notes = take_array<induce_note>(2 * static_cast<size_t>(block))))
    return false;
  lt->set_bounds(k, false);
  if (notes) {
    induce_scan_pipelined<true>(t, n, *lt, sa, b, notes, block);
  } else {
    for (int32_t i = 0; i < n; ++i) {
      if (i + kAhead < n) fetch_left_of(t, sa, i + kAhead);
      const int32_t v = sa[i];
      if (v > 0 && !left_is_s<true>(t, *lt, v)) sa[b[t[v - 1]]++] = v - 1;
    }
  }
  lt->set_bounds(k, true);
  if (notes) {
    induce_scan_pipelined<false>(t, n, *lt, sa, b, notes, block);
  } else {
    for (int32_t i = n - 1; i >= 0; --i) {
      if (i >= kAhead) fetch_left_of(t, sa, i - kAhead);
      const int32_t v = sa[i];
      if (v > 0 && left_is_s<false>(t, *lt, v)) sa[--b[t[v - 1]]] = v - 1;
    }
  }
  std::free(notes);
  return true;
}

// The LMS positions among word w's, those from `to` on dropped when `to`
// lies in it.
inline uint64_t lms_bits(const level_tables& lt, size_t w, int32_t to) {
  const uint64_t bits = lt.lms_word(w);
  const size_t end = static_cast<size_t>(to);
  return end / 64 == w ? bits & ((uint64_t{1} << (end % 64)) - 1) : bits;
}

// Calls f(i) for each LMS position i in [from, to), from the left, or from
// the right with kRight; `from` a multiple of 64.
template <bool kRight = false, typename F>
void each_lms(const level_tables& lt, int32_t from, int32_t to, F&& f) {
  const size_t first = static_cast<size_t>(from) / 64, end = (static_cast<size_t>(to) + 63) / 64;
  for (size_t k = 0; k < end - first; ++k) {
    const size_t w = kRight ? end - 1 - k : first + k;
    for (uint64_t bits = lms_bits(lt, w, to); bits != 0;) {
      const int bit = kRight ? 63 - __builtin_clzll(bits) : __builtin_ctzll(bits);
      f(static_cast<int32_t>(w * 64 + static_cast<size_t>(bit)));
      bits ^= uint64_t{1} << bit;
    }
  }
}

// The number of LMS positions in [from, to), `from` a multiple of 64.
inline int32_t count_lms(const level_tables& lt, int32_t from, int32_t to) {
  int32_t count = 0;
  const size_t end = (static_cast<size_t>(to) + 63) / 64;
  for (size_t w = static_cast<size_t>(from) / 64; w < end; ++w)
    count += __builtin_popcountll(lms_bits(lt, w, to));
  return count;
}

// The LMS positions of t[0..n) in order into lms[]; on several threads
// each part counts its own, then writes them after the parts before it.
// `counts` has room for `parts` entries.
void list_lms(const level_tables& lt, int32_t n, int32_t* lms, int32_t* counts, int parts) {
  if (parts == 1) {
    int32_t j = 0;
    each_lms(lt, 0, n, [&](int32_t i) { lms[j++] = i; });
    return;
  }
  split(n, parts, [&](int k, int32_t from, int32_t to) {
    counts[k] = count_lms(lt, from, to);
  }, 64);
  split(n, parts, [&](int k, int32_t from, int32_t to) {
    int32_t j = 0;
    for (int q = 0; q < k; ++q) j += counts[q];
    each_lms(lt, from, to, [&](int32_t i) { lms[j++] = i; });
  }, 64);
}

// Puts the LMS suffixes of t[0..n) at their buckets' ends, the one further
// right the further right, into sa (all -1).  On `parts` threads when the
// codes are few: each part learns how many of each code it has, and so
// where its run of each bucket ends (the parts to its right fill the rest).
// `counts` has room for `parts` times k entries; null on one part.
template <class Str>
void place_lms(const Str& t, int32_t n, int32_t k, level_tables* lt, int32_t* sa, int32_t* counts,
               int parts) {
  lt->set_bounds(k, true);
  int32_t* b = lt->bounds;
  if (counts == nullptr) {
    each_lms<true>(*lt, 0, n, [&](int32_t i) { sa[--b[t[i]]] = i; });
    return;
  }
  std::memset(counts, 0, static_cast<size_t>(parts) * static_cast<size_t>(k) * sizeof *counts);
  split(n, parts, [&](int q, int32_t from, int32_t to) {
    int32_t* own = counts + static_cast<size_t>(q) * static_cast<size_t>(k);
    each_lms(*lt, from, to, [&](int32_t i) { ++own[t[i]]; });
  }, 64);
  for (int q = parts - 1; q >= 0; --q) {  // each part's run ends where the next one's starts
    int32_t* own = counts + static_cast<size_t>(q) * static_cast<size_t>(k);
    for (int32_t c = 0; c < k; ++c) {
      const int32_t end = b[c];
      b[c] -= own[c];
      own[c] = end;
    }
  }
  split(n, parts, [&](int q, int32_t from, int32_t to) {
    int32_t* end = counts + static_cast<size_t>(q) * static_cast<size_t>(k);
    each_lms<true>(*lt, from, to, [&](int32_t i) { sa[--end[t[i]]] = i; });
  }, 64);
}

// Whether the LMS substrings starting at a and b differ in a code or a
// type.  Equal types up to a point make both end there together; neither
// runs past the sentinel, which is an LMS substring of its own.
template <class Str>
bool lms_substrings_differ(const Str& t, const level_tables& lt, int32_t a,
                           int32_t b) {
  for (int32_t d = 0;; ++d) {
    if (t[a + d] != t[b + d] || lt.s(a + d) != lt.s(b + d)) return true;
    if (d > 0 && lt.lms(a + d)) return false;
  }
}

// With the m LMS substrings sorted in sa[0..m), names each by its rank
// among the distinct ones and leaves the names in position order in
// sa[n - m .. n): the next level's string.  Returns the number of names.
// On one thread each substring is compared with the first of the names so
// far; on several, the substrings are compared with their predecessors in
// order by `parts` threads (each writes 1 or 0, differs or not, at the
// substring's place in sa[m..n), which no part reads, and counts its 1s),
// then named by as many, each part counting on from the 1s of the parts
// before it: a second pass, which one thread does without.
template <class Str>
int32_t name_lms_substrings(const Str& t, int32_t n, int32_t m,
                            const level_tables& lt, int32_t* sa, int parts) {
  clear_entries(sa, m, n, parts);
  const auto read_ahead = [&](int32_t ahead) {
    fetch_ahead(code_at(t, ahead));
    fetch_ahead(lt.s_word(ahead));
    fetch_ahead<true>(sa + m + ahead / 2);
  };
  int32_t names = 0;
  if (parts == 1) {
    for (int32_t i = 0, prev = -1; i < m; ++i) {
      if (i + kAhead < m) read_ahead(sa[i + kAhead]);
      const int32_t pos = sa[i];
      if (prev < 0 || lms_substrings_differ(t, lt, pos, prev)) {
        ++names;
        prev = pos;
      }
      sa[m + pos / 2] = names - 1;  // LMS positions lie two or more apart
    }
  } else {
    int32_t differ[kMostParts];  // each part's substrings that start a name
    split(m, parts, [&](int q, int32_t from, int32_t to) {
      int32_t count = 0;
      for (int32_t i = from; i < to; ++i) {
        if (i + kAhead < to) read_ahead(sa[i + kAhead]);
        const int32_t pos = sa[i];
        const bool starts = i == 0 || lms_substrings_differ(t, lt, pos, sa[i - 1]);
        sa[m + pos / 2] = starts;
        count += starts;
      }
      differ[q] = count;
    });
    split(m, parts, [&](int q, int32_t from, int32_t to) {
      int32_t named = 0;  // the names of the parts before this one
      for (int r = 0; r < q; ++r) named += differ[r];
      for (int32_t i = from; i < to; ++i) {
        if (i + kAhead < to) fetch_ahead<true>(sa + m + sa[i + kAhead] / 2);
        int32_t& place = sa[m + sa[i] / 2];
        named += place;
        place = named - 1;
      }
    });
    for (int r = 0; r < parts; ++r) names += differ[r];
  }
  for (int32_t i = n - 1, j = n - 1; i >= m; --i)
    if (sa[i] >= 0) sa[j--] = sa[i];
  return names;
}

// Level down: sorts the LMS substrings of t[0..n) by inducing from their
// first codes, then names them (above), with its tables (opened here
// unless they are).  *m gets the number of LMS
// suffixes, *names the number of distinct names.  False when memory runs
// out.
template <class Str>
bool reduce(const Str& t, int32_t n, int32_t k, level_tables* tables, int32_t* sa,
            int32_t* m, int32_t* names, int parts) {
  if (!open_tables(t, n, k, tables, parts)) return false;
  level_tables& lt = *tables;
  int32_t* counts = nullptr;  // per part and code, for placing on threads
  if (parts > 1 && k <= kBlockCodes &&
      !(counts = take_array<int32_t>(static_cast<size_t>(parts) * static_cast<size_t>(k))))
    return false;
  clear_entries(sa, 0, n, parts);
  place_lms(t, n, k, &lt, sa, counts, counts ? parts : 1);
  std::free(counts);
  if (!induce(t, n, k, &lt, sa, parts)) return false;
  int32_t count = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (i + kAhead < n) fetch_ahead(lt.s_word(sa[i + kAhead]));
    if (lt.lms(sa[i])) sa[count++] = sa[i];
  }
  *m = count;
  *names = name_lms_substrings(t, n, count, lt, sa, parts);
  return true;
}

// Level up: given in sa[0..m) the suffix array of the level above (ranks
// of t's LMS suffixes in position order), puts those suffixes in order at
// their buckets' ends and induces every suffix of t.  sa[n - m .. n) is
// workspace; the tables are opened here unless they are.  False when
// memory runs out.
template <class Str>
bool expand(const Str& t, int32_t n, int32_t k, level_tables* tables, int32_t m, int32_t* sa,
            int parts) {
  if (!open_tables(t, n, k, tables, parts)) return false;
  level_tables& lt = *tables;
  int32_t* lms = sa + n - m;  // m <= n / 2: apart from sa[0..m)
  int32_t counts[kMostParts];
  list_lms(lt, n, lms, counts, parts);
  split(m, parts, [&](int, int32_t from, int32_t to) {
    for (int32_t i = from; i < to; ++i) {
      if (i + kAhead < to) fetch_ahead(lms + sa[i + kAhead]);
      sa[i] = lms[sa[i]];
    }
  });
  clear_entries(sa, m, n, parts);
  lt.set_bounds(k, true);
  // From the right: the suffix of rank i goes to slot i or beyond, so none
  // is overwritten before it is moved.
  for (int32_t i = m - 1; i >= 0; --i) {
    if (i >= kAhead) fetch_ahead(code_at(t, sa[i - kAhead]));
    const int32_t j = sa[i];
    sa[i] = -1;
    sa[--lt.bounds[t[j]]] = j;
  }
  return induce(t, n, k, &lt, sa, parts);
}

// Tells the hook, if any, that one more pass of the sorter is done; false
// when it asks to stop.
struct pass_ticker {
  const stree_build_hook* hook;
  int64_t passes = 0;
  bool next() {
    ++passes;
    return !hook || !hook->tick || hook->tick(hook->data, "sorting", passes, 0);
  }
};

// One level: its string (null at level 0, the block), its length and
// codes, and its LMS suffixes (the length of the level above).
struct level {
  const int32_t* str;
  int32_t n, k;
  int32_t lms;
};
// Level j's string is at most (2^31 - 1) / 2^j long, and a level is put
// above one only when that has two LMS suffixes or more, so there are 30
// levels at the most.
constexpr int kMaxLevels = 32;

// The suffix array of the block's n + 1 codes (level 0's string) into
// sa[0..n], sa[0] being the sentinel.  Down the levels until the names of
// one are all distinct, whose order is then read off directly, and back up.
bool sort_codes(const unsigned char* block, int32_t n, int32_t* sa, pass_ticker* tick,
                int parts) {
  const block_codes codes{block, n};
  level_tables block_tables;  // level 0's, from its way down to its way up
  level levels[kMaxLevels];
  levels[0] = level{nullptr, n + 1, kBlockCodes, 0};
  int top = 0;
  for (;;) {
    level& v = levels[top];
    int32_t names = 0;
    level_tables own;
    if (!(v.str ? reduce(v.str, v.n, v.k, &own, sa, &v.lms, &names, parts)
                : reduce(codes, v.n, v.k, &block_tables, sa, &v.lms, &names, parts)) ||
        !tick->next())
      return false;
    const int32_t* above = sa + v.n - v.lms;
    if (names == v.lms) {
      for (int32_t i = 0; i < v.lms; ++i) sa[above[i]] = i;
      break;
    }
    if (top + 1 == kMaxLevels) return false;  // cannot happen (see above)
    levels[top + 1] = level{above, v.lms, names, 0};
    ++top;
  }
  for (int l = top; l >= 0; --l) {
    const level& v = levels[l];
    level_tables own;
    if (!(v.str ? expand(v.str, v.n, v.k, &own, v.lms, sa, parts)
                : expand(codes, v.n, v.k, &block_tables, v.lms, sa, parts)) ||
        !tick->next())
      return false;
  }
  return true;
}

// ===== Common prefixes ======================================================

// Characters the suffixes at i and j share, knowing that they share at
// least `known`; a NUL matches nothing, nor does the block's end.
inline int32_t common_prefix(const unsigned char* block, int32_t n, int32_t i,
                             int32_t j, int32_t known) {
  const int32_t limit = n - (i > j ? i : j);
  int32_t l = known;
  while (l < limit && block[i + l] == block[j + l] && block[i + l] != 0) ++l;
  return l;
}

// Φ[i] = the suffix just before suffix i in sa (-1 for the first), and then
// in place, in text order, PLCP[i] = the characters suffix i shares with
// Φ[i].  Suffix i + 1 shares at least PLCP[i] - 1 with its predecessor (the
// same prefix less its first character, never a NUL), so the comparisons
// take linear time altogether.  near[i] gets PLCP[i] capped at
// STREE_LONG_LCP.  Each pass is split into `parts` runs of ranks or of text
// positions, one per thread: a run of text starts knowing nothing (l = 0)
// and is exact from there on, so the values do not depend on the split.

// Φ for the ranks [from, to).
void scatter_phi(int32_t* phi, const int32_t* sa, int32_t n, int32_t from, int32_t to) {
  if (from == 0 && to > 0) phi[sa[0]] = -1;
  for (int32_t r = from > 1 ? from : 1; r < to; ++r) {
    if (r + kAhead < n) fetch_ahead<true>(phi + sa[r + kAhead]);
    phi[sa[r]] = sa[r - 1];
  }
}

// PLCP and near for the text positions [from, to), reading Φ only there;
// the count of values of STREE_LONG_LCP or more.
size_t plcp_run(const unsigned char* block, int32_t n, int32_t* phi, uint8_t* near,
                int32_t from, int32_t to) {
  size_t longs = 0;
  int32_t l = 0;
  for (int32_t i = from; i < to; ++i) {
    // Suffix i + kAhead is compared from at least l - kAhead on.
    if (i + kAhead < to && phi[i + kAhead] >= 0) {
      const int64_t at = int64_t{phi[i + kAhead]} + (l > kAhead ? l - kAhead : 0);
      fetch_ahead<false>(block + (at < n ? at : n - 1));
    }
    if (phi[i] < 0) {
      l = 0;
    } else {
      l = common_prefix(block, n, i, phi[i], l);
      if (l >= STREE_LONG_LCP) ++longs;
    }
    phi[i] = l;
    near[i] = l < STREE_LONG_LCP ? static_cast<uint8_t>(l) : STREE_LONG_LCP;
    if (l > 0) --l;
  }
  return longs;
}

// lcp for the ranks [from, to), gathered from the capped bytes; the count of
// long ones among them.
size_t gather_lcp(uint8_t* lcp, const uint8_t* near, const int32_t* sa, int32_t n,
                  int32_t from, int32_t to) {
  size_t longs = 0;
  for (int32_t r = from; r < to; ++r) {
    if (r + kAhead < n) fetch_ahead<false>(near + sa[r + kAhead]);
    lcp[r] = near[sa[r]];  // 0 for r = 0
    longs += lcp[r] == STREE_LONG_LCP;
  }
  return longs;
}

// The (rank, length) pairs of the long values among the ranks [from, to),
// from pairs[2 * first] on.
void pair_longs(int32_t* pairs, size_t first, const uint8_t* lcp, const int32_t* plcp,
                const int32_t* sa, int32_t from, int32_t to) {
  for (int32_t r = from; r < to; ++r) {
    if (lcp[r] != STREE_LONG_LCP) continue;
    pairs[2 * first] = r;
    pairs[2 * first + 1] = plcp[sa[r]];
    ++first;
  }
}

// The LCP array of the sorted block into out->lcp, capped at
// STREE_LONG_LCP, and the exact values from there up into out->long_lcp,
// by ascending rank.  The values are gathered from the capped bytes, a
// quarter of the PLCP array's size and so far more often in the caches;
// only the long ones are read from PLCP itself.  Both are freed before
// returning.  False, with out's LCP fields untouched, when memory runs out.
// Its arrays serve a pass or two each, so they are not offered as huge
// pages: the kernel's work to find and clear huge pages for them took more
// time than their translations save (0.2 s of CPU, about 4%, on 25 MB of
// package lists: bench/CHANGES.md).
bool lcp_by_phi(const unsigned char* block, int32_t n, const int32_t* sa, int parts,
                int_stree_sorted* out) {
  size_t longs_of[256] = {};  // by part
  uint8_t* near = take_array<uint8_t>(static_cast<size_t>(n), STREE_SMALL_PAGES);
  int32_t* plcp = near ? take_array<int32_t>(static_cast<size_t>(n), STREE_SMALL_PAGES) : nullptr;
  if (plcp) {
    split(n, parts, [&](int, int32_t from, int32_t to) { scatter_phi(plcp, sa, n, from, to); });
    split(n, parts, [&](int k, int32_t from, int32_t to) {
      longs_of[k] = plcp_run(block, n, plcp, near, from, to);
    });
  }
  size_t longs = 0;
  for (int k = 0; k < parts; ++k) longs += longs_of[k];
  uint8_t* lcp = plcp ? take_array<uint8_t>(static_cast<size_t>(n), STREE_SMALL_PAGES) : nullptr;
  int32_t* pairs = longs && lcp ? take_array<int32_t>(2 * longs) : nullptr;
  if (!lcp || (longs && !pairs)) {
    std::free(lcp);
    std::free(plcp);
    std::free(near);
    return false;
  }
  split(n, parts, [&](int k, int32_t from, int32_t to) {
    longs_of[k] = gather_lcp(lcp, near, sa, n, from, to);
  });
  if (longs) {
    size_t first_of[256];
    for (size_t k = 0, sum = 0; k < static_cast<size_t>(parts); sum += longs_of[k++]) first_of[k] = sum;
    split(n, parts, [&](int k, int32_t from, int32_t to) {
      pair_longs(pairs, first_of[k], lcp, plcp, sa, from, to);
    });
  }
  std::free(plcp);
  std::free(near);
  out->lcp = lcp;
  out->long_lcp = pairs;
  out->long_count = longs;
  return true;
}

}  // namespace

int int_stree_sort_suffixes(const unsigned char* block, int64_t n,
                            int_stree_sorted* out, const stree_build_hook* hook, int threads) {
  *out = int_stree_sorted{};
  if (n < 1 || n > STREE_MAX_SORTED) return 0;  // n + 1 codes fit int32_t
  const int32_t len = static_cast<int32_t>(n);
  pass_ticker tick{hook};
  const int parts = std::clamp(threads, 1, kMostParts);
  int32_t* sa = take_array<int32_t>(static_cast<size_t>(len) + 1);
  if (!sa || !sort_codes(block, len, sa, &tick, parts)) {
    std::free(sa);
    return 0;
  }
  // The sentinel sorts first; the block's own positions follow.
  std::memmove(sa, sa + 1, static_cast<size_t>(len) * sizeof *sa);
  if (!lcp_by_phi(block, len, sa, parts, out) || !tick.next()) {
    int_stree_sorted_free(out);
    std::free(sa);
    return 0;
  }
  out->sa = sa;
  return 1;
}

void int_stree_sorted_free(int_stree_sorted* sorted) {
  std::free(sorted->sa);
  std::free(sorted->lcp);
  std::free(sorted->long_lcp);
  *sorted = int_stree_sorted{};
}

STREE_NS_END
