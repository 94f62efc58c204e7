// vok._vok: the wide suffix tree and vok's feature selection for Python.
//
// A Model is fitted once on a collection of documents: every document goes
// into one wide tree (every byte 1..255 a character, any number of
// documents), the records are counted and selected as vok selects them, and
// the tree stays, with its child index, to match other documents against.
// The bags come out as the three arrays of a CSR matrix of counts, one row
// per document and one column per feature in ascending feature number.
//
// Threads: the tree's node pool and its page table are shared by every tree
// of the process and are not safe for concurrent use, so every operation
// that touches a tree holds tree_mutex.  The heavy work runs with the GIL
// released; the mutex is always taken after the GIL is let go and given
// back before the GIL is taken again, so the two never deadlock.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "apply.h"
#include "options.h"
#include "output.h"
#include "selection.h"
#include "settings.h"
#include "stree_internal.h"

namespace py = pybind11;
using namespace vok_wide;  // and stree_wide

namespace {

std::mutex tree_mutex;

// Raised in Python as MemoryError with this message.
struct out_of_memory : std::exception {
  std::string message;
  explicit out_of_memory(std::string m) : message(std::move(m)) {}
  const char* what() const noexcept override { return message.c_str(); }
};

// Runs f with the GIL released and the tree mutex held.
template <typename F>
void with_trees(F&& f) {
  py::gil_scoped_release nogil;
  std::lock_guard<std::mutex> lock(tree_mutex);
  f();
}

// A growing array of plain values in one malloc block.  realloc grows a
// large block in place (mremap), so building an array never holds two
// copies of it; at the end the block goes to numpy as it is.
template <typename T>
struct buffer {
  T* data = nullptr;
  size_t size = 0, room = 0;

  buffer() { reserve(1024); }
  buffer(const buffer&) = delete;
  buffer& operator=(const buffer&) = delete;
  ~buffer() { std::free(data); }

  void reserve(size_t n) {
    if (n <= room) return;
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    T* bigger = static_cast<T*>(std::realloc(data, n * sizeof(T)));
    if (!bigger) throw std::bad_alloc();
    data = bigger;
    room = n;
  }
  // Room for n values, growing by doubling at the least, so that a run of
  // calls costs linear time even where realloc copies.
  void make_room(size_t n) {
    if (n > room) reserve(std::max(n, 2 * room));
  }
  void push(T value) {
    if (size == room) reserve(2 * room);
    data[size++] = value;
  }
  // A one-dimensional numpy array that owns the block (GIL held).
  py::array_t<T> to_numpy() {
    if (size > 0 && size < room) {
      if (T* fitted = static_cast<T*>(std::realloc(data, size * sizeof(T)))) {
        data = fitted;
        room = size;
      }
    }
    py::capsule owner(data, [](void* p) { std::free(p); });
    T* block = data;
    const size_t n = size;
    data = nullptr;
    size = room = 0;
    return py::array_t<T>({static_cast<py::ssize_t>(n)}, {sizeof(T)}, block,
                          owner);
  }
};

// A fixed array of plain values from vok_table_alloc, as vok's own tables
// are: a large one is offered huge pages, since the counting walk writes it
// at places unrelated to their addresses.  Its values start unset.
template <typename T>
class table {
 public:
  table() = default;
  table(const table&) = delete;
  table& operator=(const table&) = delete;
  table& operator=(table&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~table() { std::free(data_); }

  // Room for n values (none kept); throws std::bad_alloc without memory.
  void reset(size_t n) {
    std::free(std::exchange(data_, nullptr));
    size_ = 0;
    if (n == 0) return;
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    data_ = static_cast<T*>(vok_table_alloc(n * sizeof(T)));
    if (!data_) throw std::bad_alloc();
    size_ = n;
  }
  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

 private:
  T* data_ = nullptr;
  size_t size_ = 0;
};

// The rows of a CSR matrix of counts, built one document at a time.  The
// features of a position are a chain of columns: `first` (1 + column, 0
// for none), then up[column] (1 + the column of the nearest selected
// proper ancestor) until 0.
struct rows {
  buffer<int64_t> indptr;
  buffer<int32_t> indices;
  buffer<int64_t> data;
  std::vector<uint32_t> count;    // by column, 0 between rows
  std::vector<uint32_t> touched;  // columns of the current row
  const uint32_t* up;

  rows(size_t columns, const uint32_t* up_columns)
      : count(columns), up(up_columns) {
    indptr.push(0);
  }
  void add_chain(uint32_t first) {
    for (uint32_t c = first; c != 0; c = up[c - 1])
      if (count[c - 1]++ == 0) touched.push_back(c - 1);
  }
  void end_row() {
    std::sort(touched.begin(), touched.end());
    indices.make_room(indices.size + touched.size());
    data.make_room(data.size + touched.size());
    for (uint32_t c : touched) {
      indices.push(static_cast<int32_t>(c));
      data.push(count[c]);
      count[c] = 0;
    }
    touched.clear();
    indptr.push(static_cast<int64_t>(indices.size));
  }
  py::tuple to_python() {
    auto d = data.to_numpy();
    auto i = indices.to_numpy();
    auto p = indptr.to_numpy();
    return py::make_tuple(d, i, p);
  }
};

// Documents taken from a Python iterable, a batch at a time: the text of
// each (its UTF-8 bytes for a str, up to its first NUL) and the objects
// that keep the texts alive.
struct batch {
  std::vector<py::object> keep;
  std::vector<const char*> text;
  std::vector<int32_t> len;
  size_t bytes = 0;

  void clear() {
    keep.clear();
    text.clear();
    len.clear();
    bytes = 0;
  }
};

// Documents are read into batches of about this many bytes (or documents),
// so that the UTF-8 copies of str documents never pile up and a signal is
// noticed within a second or two.
constexpr size_t kBatchBytes = size_t{1} << 20;
constexpr size_t kBatchDocs = size_t{1} << 16;

void take_document(py::object item, size_t index, batch* b) {
  PyObject* o = item.ptr();
  const char* text;
  Py_ssize_t size;
  if (PyBytes_Check(o)) {
    text = PyBytes_AS_STRING(o);
    size = PyBytes_GET_SIZE(o);
  } else if (PyUnicode_Check(o)) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(o) < 0) throw py::error_already_set();
#endif
    if (PyUnicode_IS_ASCII(o)) {  // its characters are its UTF-8 bytes
      text = static_cast<const char*>(PyUnicode_DATA(o));
      size = PyUnicode_GET_LENGTH(o);
    } else {
      PyObject* utf8 = PyUnicode_AsEncodedString(o, "utf-8", "surrogateescape");
      if (!utf8) throw py::error_already_set();
      item = py::reinterpret_steal<py::object>(utf8);
      text = PyBytes_AS_STRING(utf8);
      size = PyBytes_GET_SIZE(utf8);
    }
  } else {
    throw py::type_error("document " + std::to_string(index) +
                         " is neither str nor bytes but " +
                         Py_TYPE(o)->tp_name);
  }
  // A NUL byte ends the document's text, as it ends a line's in vok.
  if (const void* nul = std::memchr(text, 0, static_cast<size_t>(size)))
    size = static_cast<const char*>(nul) - text;
  if (size > INT32_MAX)
    throw py::value_error("document " + std::to_string(index) +
                          " is longer than 2147483647 bytes");
  b->keep.push_back(std::move(item));
  b->text.push_back(text);
  b->len.push_back(static_cast<int32_t>(size));
  b->bytes += static_cast<size_t>(size);
}

// Fills b with the next documents of the iterator; false when it has none
// left.  *next is the number of the next document.  A signal that came
// while the batch before was worked on (Ctrl-C) raises its exception here.
bool next_batch(PyObject* iterator, batch* b, size_t* next) {
  b->clear();
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  while (b->bytes < kBatchBytes && b->text.size() < kBatchDocs) {
    PyObject* item = PyIter_Next(iterator);
    if (!item) {
      if (PyErr_Occurred()) throw py::error_already_set();
      break;
    }
    take_document(py::reinterpret_steal<py::object>(item), (*next)++, b);
  }
  return !b->text.empty();
}

py::object iterate(const py::handle& documents) {
  PyObject* iterator = PyObject_GetIter(documents.ptr());
  if (!iterator) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(iterator);
}

class Model {
 public:
  Model(long word_delimited, long min_freq, long max_freq, long min_branches,
        double max_parent_prob, double max_link_prob) {
    settings_.word_delimited = word_delimited;
    settings_.min_freq = min_freq;
    settings_.max_freq = max_freq;
    settings_.min_branches = min_branches;
    settings_.max_parent_prob = max_parent_prob;
    settings_.max_link_prob = max_link_prob;
    settings_.wide = true;
    if (!options_valid(settings_)) throw py::value_error("invalid settings");
  }
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;
  ~Model() { drop_tree(); }

  // Stores the documents and selects the features; with with_matrix also
  // returns their bags (data, indices, indptr), from the loci of their
  // suffixes as vok writes them.
  py::object fit(const py::handle& documents, bool with_matrix) {
    if (started_) throw py::value_error("a Model is fitted only once");
    started_ = true;
    try {
      py::object iterator = iterate(documents);
      with_trees([&] {
        tree_ = stree_new_tree(STREE_MAX_ALPHABET, 1);
        if (!tree_) throw out_of_memory("no memory for a new tree");
      });
      batch b;
      size_t next = 0;
      while (next_batch(iterator.ptr(), &b, &next)) {
        with_trees([&] {
          for (size_t k = 0; k < b.text.size(); ++k) {
            if (num_docs_ == static_cast<uint32_t>(STREE_MAX_STRINGS))
              throw py::value_error("more documents than a tree holds");
            if (int_stree_table_append(tree_, b.text[k], b.len[k],
                                       static_cast<int32_t>(num_docs_)) < 0)
              throw out_of_memory("no memory to store document " +
                                  std::to_string(num_docs_));
            ++num_docs_;
          }
        });
      }
      b.clear();
      with_trees([&] { build_tree(); });
      py::object result = py::none();
      std::unique_ptr<rows> out;
      with_trees([&] { out = select(with_matrix); });
      fitted_ = true;
      if (out) result = out->to_python();
      return result;
    } catch (...) {
      drop_tree();
      throw;
    }
  }

  // The bags of other documents, matched against the fitted tree as
  // vok-apply matches them: (data, indices, indptr).
  py::tuple transform(const py::handle& documents) {
    check_fitted();
    py::object iterator = iterate(documents);
    rows out(up_col_.size(), up_col_.data());
    batch b;
    size_t next = 0;
    while (next_batch(iterator.ptr(), &b, &next)) {
      with_trees([&] {
        for (size_t k = 0; k < b.text.size(); ++k) {
          auto at = [&](uint32_t record) { out.add_chain(first_col_[rank_of(record)]); };
          vok_match_document(tree_, b.text[k], b.len[k], settings_.word_delimited, at);
          out.end_row();
        }
      });
    }
    return out.to_python();
  }

  // The feature numbers, ascending (one per column).
  py::array_t<int64_t> feature_numbers() const {
    check_fitted();
    py::array_t<int64_t> numbers(static_cast<py::ssize_t>(up_col_.size()));
    int64_t* out = numbers.mutable_data();
    for (size_t w = 0; w < selected_.size(); ++w)
      for (uint64_t bits = selected_[w]; bits != 0; bits &= bits - 1)
        *out++ = static_cast<int64_t>((w << VOK_SET_SHIFT) |
                                      static_cast<unsigned>(__builtin_ctzll(bits)));
    return numbers;
  }

  // The path label of every feature (the longest substring of its class),
  // by column, decoded from UTF-8 with surrogateescape.
  py::list feature_labels() const {
    check_fitted();
    label_walk walk{&selected_, 0, {}};
    with_trees([&] {
      walk.labels.reserve(up_col_.size());
      stree_traverse(tree_, enter_label, leave_label, &walk);
    });
    py::list names(walk.labels.size());
    for (size_t k = 0; k < walk.labels.size(); ++k) {
      PyObject* s = PyUnicode_DecodeUTF8(walk.labels[k].first,
                                         walk.labels[k].second,
                                         "surrogateescape");
      if (!s) throw py::error_already_set();
      PyList_SET_ITEM(names.ptr(), static_cast<py::ssize_t>(k), s);
    }
    return names;
  }

  // The stored documents, as bytes, in order.
  py::list documents() const {
    check_fitted();
    py::list docs(num_docs_);
    for (uint32_t k = 0; k < num_docs_; ++k) {
      PyObject* d = PyBytes_FromStringAndSize(tree_->strings[k], tree_->lengths[k]);
      if (!d) throw py::error_already_set();
      PyList_SET_ITEM(docs.ptr(), k, d);
    }
    return docs;
  }

  py::tuple settings() const {
    return py::make_tuple(settings_.word_delimited, settings_.min_freq,
                          settings_.max_freq, settings_.min_branches,
                          settings_.max_parent_prob, settings_.max_link_prob);
  }
  size_t num_features() const { return up_col_.size(); }
  uint32_t num_docs() const { return num_docs_; }
  int64_t num_records() const {
    check_fitted();
    return tree_->num_nodes;
  }

 private:
  void check_fitted() const {
    if (!fitted_) throw py::value_error("the Model is not fitted");
  }

  // Builds the tree of the stored documents in one go, or, for more text
  // than the suffix sorter takes, inserts them one by one into a new tree.
  void build_tree() {
    if (tree_->block_used <= static_cast<size_t>(STREE_MAX_SORTED)) {
      if (!int_stree_build_stored(tree_))
        throw out_of_memory("no memory to build the tree");
      return;
    }
    suffix_tree* online = stree_new_tree(STREE_MAX_ALPHABET, 1);
    if (!online) throw out_of_memory("no memory for a new tree");
    for (uint32_t k = 0; k < num_docs_; ++k)
      if (!stree_add_string(online, tree_->strings[k], tree_->lengths[k],
                            static_cast<int32_t>(k))) {
        stree_delete_tree(online);
        throw out_of_memory("no memory to add document " + std::to_string(k) +
                            " to the tree");
      }
    stree_delete_tree(tree_);
    tree_ = online;
  }

  void drop_tree() {
    if (!tree_) return;
    std::lock_guard<std::mutex> lock(tree_mutex);
    stree_delete_tree(tree_);
    tree_ = nullptr;
    fitted_ = false;
  }

  // Counts and selects (tree mutex held, no GIL).  Leaves selected_,
  // first_col_ and up_col_; with_matrix also gives the training bags.
  std::unique_ptr<rows> select(bool with_matrix) {
    for (uint32_t k = 0; k < num_docs_; ++k)  // slot k holds document k
      if (tree_->ids[k] != static_cast<int32_t>(k) || !tree_->strings[k])
        throw std::logic_error("the tree's slots are out of order");
    const size_t n = static_cast<size_t>(tree_->num_nodes);
    // The selection writes every value of its tables that is read later
    // but for the bits past the last record in the set of features.
    selected_.reset(vok_set_words(n));
    std::memset(selected_.data(), 0, selected_.size() * sizeof(uint64_t));
    table<uint32_t> above;
    above.reset(n);
    internal_.reset(vok_set_words(n + 1));
    internal_before_.reset(internal_.size());
    table<uint32_t> counts;
    table<size_t> first, before;
    table<uint64_t> emitting;
    table<uint32_t> loci;
    {
      std::vector<vok_open_record> path(vok_path_room(tree_));
      if (vok_selection_needs_counts(settings_)) counts.reset(n);
      if (with_matrix) {
        first.reset(static_cast<size_t>(tree_->slots));
        size_t places = vok_loci_size(tree_, first.data());
        if (settings_.word_delimited) {  // places for emitting positions only
          emitting.reset(vok_set_words(places + 1));
          before.reset(emitting.size());
          places = vok_mark_emitting(tree_, first.data(), places, emitting.data(),
                                     before.data());
        }
        loci.reset(places);
      }
      vok_selection sel;
      sel.selected = selected_.data();
      sel.above = above.data();
      sel.internal = internal_.data();
      sel.internal_before = internal_before_.data();
      sel.counts = counts.empty() ? nullptr : counts.data();
      sel.loci = with_matrix && !loci.empty() ? loci.data() : nullptr;
      sel.first = with_matrix ? first.data() : nullptr;
      sel.emitting = emitting.empty() ? nullptr : emitting.data();
      sel.before = before.empty() ? nullptr : before.data();
      sel.path = path.data();
      select_features(tree_, settings_, sel);
    }
    counts.reset(0);

    // above[] holds each internal record's nearest selected proper
    // ancestor, by rank, whose rank is below the record's: in rank order it
    // becomes the chain start (1 + column) of every internal record, in
    // place.
    size_t features = 0;
    for (uint64_t word : selected_) features += static_cast<size_t>(int_stree_popcount(word));
    if (features > static_cast<size_t>(INT32_MAX))
      throw out_of_memory("more features than 32-bit column numbers hold");
    up_col_.reserve(features);
    uint32_t column = 0;
    for (uint32_t v = 0, r = 0; v < n; ++v) {
      if (!vok_in_set(internal_.data(), v)) continue;
      const uint32_t a = above[r];
      const uint32_t up = a != 0 ? above[rank_of(a)] : 0;
      if (vok_in_set(selected_.data(), v)) {
        up_col_.push_back(up);
        above[r] = ++column;
      } else {
        above[r] = up;
      }
      ++r;
    }
    first_col_ = std::move(above);
    if (!with_matrix) return nullptr;

    auto out = std::make_unique<rows>(up_col_.size(), up_col_.data());
    vok_selection places;
    places.emitting = emitting.empty() ? nullptr : emitting.data();
    places.before = before.empty() ? nullptr : before.data();
    for (uint32_t k = 0; k < num_docs_; ++k) {
      const char* text = tree_->strings[k];
      const int32_t len = tree_->lengths[k];
      const uint32_t* at = loci.data() + vok_locus_place(places, first[k]);
      for (int32_t j = 0; j < len; ++j)
        if (vok_emits(text, j, settings_.word_delimited))
          out->add_chain(first_col_[rank_of(*at++)]);
      out->end_row();
    }
    return out;
  }

  struct label_walk {
    const table<uint64_t>* selected;
    int64_t depth;  // path length of the record entered last
    std::vector<std::pair<const char*, int32_t>> labels;
  };
  // Only internal nodes can be features (a leaf has no children): the walk
  // keeps the path length of the current node.
  static void enter_label(suffix_tree* tree, stree_ref x, void* data) {
    if (int_stree_isaleaf(tree, x) || x == tree->root) return;
    auto* walk = static_cast<label_walk*>(data);
    const int32_t edge = int_stree_edge_length(tree, x);
    walk->depth += edge;
    if (vok_in_set(walk->selected->data(), int_stree_id(x))) {
      const char* end = int_stree_edge_string(tree, x) + edge;
      walk->labels.emplace_back(end - walk->depth,
                                static_cast<int32_t>(walk->depth));
    }
  }
  static void leave_label(suffix_tree* tree, stree_ref x, void* data) {
    if (int_stree_isaleaf(tree, x) || x == tree->root) return;
    static_cast<label_walk*>(data)->depth -= int_stree_edge_length(tree, x);
  }

  // An internal record's rank among the internal records.
  uint32_t rank_of(uint32_t id) const {
    return vok_internal_rank(internal_.data(), internal_before_.data(), id);
  }

  vok_settings settings_;
  suffix_tree* tree_ = nullptr;
  uint32_t num_docs_ = 0;
  bool started_ = false;
  bool fitted_ = false;
  table<uint64_t> selected_;          // by record number
  table<uint64_t> internal_;          // the internal records
  table<uint32_t> internal_before_;   // internal records below each word
  table<uint32_t> first_col_;         // by internal rank: 1 + column of the
                                      // nearest selected record at or above
                                      // it, or 0
  std::vector<uint32_t> up_col_;      // by column: 1 + column of the nearest
                                      // selected proper ancestor, or 0
};

}  // namespace

PYBIND11_MODULE(_vok, m) {
  m.doc() = "The wide suffix tree and vok's feature selection (internal).";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const out_of_memory& e) {
      PyErr_SetString(PyExc_MemoryError, e.what());
    }
  });

  py::class_<Model>(m, "Model")
      .def(py::init<long, long, long, long, double, double>(),
           py::arg("word_delimited"), py::arg("min_freq"), py::arg("max_freq"),
           py::arg("min_branches"), py::arg("max_parent_prob"),
           py::arg("max_link_prob"))
      .def("fit", &Model::fit, py::arg("documents"), py::arg("with_matrix"))
      .def("transform", &Model::transform, py::arg("documents"))
      .def("feature_numbers", &Model::feature_numbers)
      .def("feature_labels", &Model::feature_labels)
      .def("documents", &Model::documents)
      .def_property_readonly("settings", &Model::settings)
      .def_property_readonly("num_features", &Model::num_features)
      .def_property_readonly("num_docs", &Model::num_docs)
      .def_property_readonly("num_records", &Model::num_records);

  // Test hooks: the n-th record request of the node pool from now fails
  // (once; 0 disarms), the requests made since the process started, and
  // the pool pages in use.
  m.def("_fail_at", [](long n) {
    std::lock_guard<std::mutex> lock(tree_mutex);
    stree_pool_fail_at(n);
  });
  m.def("_pool_requests", [] {
    std::lock_guard<std::mutex> lock(tree_mutex);
    return stree_pool_requests();
  });
  m.def("_pages_in_use", [] {
    std::lock_guard<std::mutex> lock(tree_mutex);
    return stree_pool_pages_in_use();
  });
}
