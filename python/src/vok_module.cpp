// vok._vok: vok's core (corpus.h, fitted_model.h) for Python, on the wide
// tree.
//
// A Model is fitted once on a collection of documents: every document goes
// into one corpus of the wide layout (every byte 1..255 a character, any
// number of documents), whose features are selected as vok selects them;
// the fit keeps the fitted model of the seen features (fitted_model.h) and
// gives the corpus back.  The bags come out as the three arrays of a CSR
// matrix of counts, one row per document and one column per seen feature
// in ascending feature number.
//
// This file is glue: the GIL, Python's objects and numpy's arrays.
//
// Threads: a fitted model is immutable and is read by any number of threads
// at once, without a lock.  Fitting uses the tree's node pool, which is
// shared by the process and not safe for concurrent use, so every call into
// a corpus holds pool_mutex.  The heavy work runs with the GIL released;
// the mutex is always taken after the GIL is let go and given back before
// the GIL is taken again, so the two never deadlock.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "corpus.h"
#include "fitted_model.h"
#include "parts.h"
#include "testing.h"

namespace py = pybind11;

namespace {

std::mutex pool_mutex;

// Raised in Python as MemoryError with this message.
struct out_of_memory : std::exception {
  std::string message;
  explicit out_of_memory(std::string m) : message(std::move(m)) {}
  const char* what() const noexcept override { return message.c_str(); }
};

// Runs f with the GIL released and the pool mutex held.
template <typename F>
void with_pool(F&& f) {
  py::gil_scoped_release nogil;
  std::lock_guard<std::mutex> lock(pool_mutex);
  f();
}

// Takes the pool mutex for a short call, letting the GIL go first if this
// thread holds it: a thread waiting for the mutex must never hold the GIL,
// which the mutex's holder may ask for (signals, below).
template <typename F>
void briefly_with_pool(F&& f) {
  if (PyGILState_Check()) {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> lock(pool_mutex);
    f();
  } else {
    std::lock_guard<std::mutex> lock(pool_mutex);
    f();
  }
}

// Thrown, without the GIL, when a signal's Python handler raised (Ctrl-C:
// KeyboardInterrupt); the error is set and is raised once the GIL is back.
struct interrupted : std::exception {};

// A hook for the core's long work that lets Python's signal handlers run
// every tenth of a second, taking the GIL for the moment: a signal whose
// handler raises stops the work.
class signal_check {
 public:
  vok_hook hook() { return vok_hook{tick, this}; }
  // Checks now, between the pieces of work the caller does itself.
  void now() {
    if (due() && raised()) throw interrupted();
  }

 private:
  static bool tick(void* data, const char*, uint64_t, uint64_t) {
    auto* self = static_cast<signal_check*>(data);
    return !self->due() || !self->raised();
  }
  bool due() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return false;
    last_ = now;
    return true;
  }
  static bool raised() {
    py::gil_scoped_acquire gil;
    return PyErr_CheckSignals() != 0;
  }
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

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

// The rows of a CSR matrix of counts, built one document at a time from
// the columns of its bag.
struct rows {
  buffer<int64_t> indptr;
  buffer<int32_t> indices;
  buffer<int64_t> data;
  std::vector<uint32_t> count;    // by column, 0 between rows
  std::vector<uint32_t> touched;  // columns of the current row

  explicit rows(size_t columns) : count(columns) { indptr.push(0); }
  // Appends the rows of `other` (built over the same columns).
  void append(const rows& other) {
    indices.make_room(indices.size + other.indices.size);
    data.make_room(data.size + other.data.size);
    const int64_t base = static_cast<int64_t>(indices.size);
    for (size_t k = 0; k < other.indices.size; ++k) {
      indices.push(other.indices.data[k]);
      data.push(other.data.data[k]);
    }
    indptr.make_room(indptr.size + other.indptr.size);
    for (size_t k = 1; k < other.indptr.size; ++k) indptr.push(base + other.indptr.data[k]);
  }

  static void take(void* self, const uint32_t* columns, size_t n) {
    auto* r = static_cast<rows*>(self);
    for (size_t k = 0; k < n; ++k)
      if (r->count[columns[k]]++ == 0) r->touched.push_back(columns[k]);
  }
  vok_sink sink() { return vok_sink{take, this, true}; }
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
// each (its UTF-8 bytes for a str) and the objects that keep the texts
// alive.
struct batch {
  std::vector<py::object> keep;
  std::vector<const char*> text;
  std::vector<size_t> len;
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
  // The core ends a document at its first NUL byte.
  if (const void* nul = std::memchr(text, 0, static_cast<size_t>(size)))
    size = static_cast<const char*>(nul) - text;
  if (static_cast<uint64_t>(size) > vok_layout_limits(true).longest)
    throw py::value_error("document " + std::to_string(index) + " is longer than " +
                          std::to_string(vok_layout_limits(true).longest) + " bytes");
  b->keep.push_back(std::move(item));
  b->text.push_back(text);
  b->len.push_back(static_cast<size_t>(size));
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

vok_settings settings_of(long word_delimited, long min_freq, long max_freq,
                         long min_branches, double max_parent_prob,
                         double max_link_prob, double min_df, bool min_df_share,
                         double max_df, bool max_df_share, long max_features, bool utf8,
                         int lowercase, long max_shortest) {
  vok_settings s;
  s.max_shortest = max_shortest;
  s.min_df = min_df;
  s.min_df_share = min_df_share;
  s.max_df = max_df;
  s.max_df_share = max_df_share;
  s.max_features = max_features;
  s.utf8 = utf8;
  s.lowercase = lowercase;
  s.word_delimited = word_delimited;
  s.min_freq = min_freq;
  s.max_freq = max_freq;
  s.min_branches = min_branches;
  s.max_parent_prob = max_parent_prob;
  s.max_link_prob = max_link_prob;
  s.wide = true;
  return s;
}

struct corpus_deleter {
  void operator()(vok_corpus* c) const {
    briefly_with_pool([c] { vok_corpus_delete(c); });
  }
};
struct model_deleter {
  void operator()(const vok_model* m) const { vok_model_delete(const_cast<vok_model*>(m)); }
};
struct work_deleter {
  void operator()(vok_model_work* w) const { vok_model_work_delete(w); }
};

// Matches a piece of a batch's documents against the model, into rows of
// its own, without the GIL.
void transform_piece(const vok_model* model, const batch& b, size_t from, size_t to,
                     rows* out, bool* out_of_memory) {
  std::unique_ptr<vok_model_work, work_deleter> work(vok_model_work_new());
  if (!work) {
    *out_of_memory = true;
    return;
  }
  const vok_sink sink = out->sink();
  for (size_t k = from; k < to; ++k) {
    if (!vok_model_apply(model, work.get(), b.text[k], b.len[k], sink)) {
      *out_of_memory = true;
      return;
    }
    out->end_row();
  }
}

class Model {
 public:
  explicit Model(const vok_settings& settings) : settings_(settings) {
    if (vok_settings_fault(settings_).name) throw py::value_error("invalid settings");
  }
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  // A fitted model from the bytes of a model file.
  static std::unique_ptr<Model> from_bytes(const py::bytes& bytes) {
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) throw py::error_already_set();
    const char* why = nullptr;
    vok_model* m = vok_model_open(data, static_cast<size_t>(size), &why);
    if (!m) {
      if (std::strcmp(why, "out of memory") == 0) throw out_of_memory("no memory for the model");
      throw py::value_error(std::string("the bytes are no vok model: ") + why);
    }
    auto model = std::make_unique<Model>(vok_model_settings(m));
    model->model_.reset(m, model_deleter());
    model->started_ = true;
    return model;
  }

  // Stores the documents, selects the features and keeps the model of the
  // seen ones; the corpus goes before fit returns.  With with_matrix also
  // returns the documents' bags (data, indices, indptr).
  py::object fit(const py::handle& documents, bool with_matrix, int threads) {
    if (started_) throw py::value_error("a Model is fitted only once");
    started_ = true;
    std::unique_ptr<vok_corpus, corpus_deleter> corpus;
    try {
      py::object iterator = iterate(documents);
      vok_settings run = settings_;
      run.threads = std::max(threads, 1);
      with_pool([&] { corpus.reset(vok_corpus_new(run)); });
      if (!corpus) throw out_of_memory("no memory for a new corpus");
      batch b;
      size_t next = 0;
      while (next_batch(iterator.ptr(), &b, &next))
        with_pool([&] {
          for (size_t k = 0; k < b.text.size(); ++k) append(corpus.get(), b.text[k], b.len[k]);
        });
      b.clear();
      std::unique_ptr<rows> out;
      signal_check signals;
      with_pool([&] {
        build(corpus.get(), &signals);
        vok_model* m = nullptr;
        if (vok_corpus_model(corpus.get(), &m) != VOK_OK)
          throw out_of_memory("no memory for the fitted model");
        model_.reset(m, model_deleter());
        if (with_matrix) out = training_bags(corpus.get(), &signals, std::max(threads, 1));
        vok_corpus_delete(corpus.release());
      });
      return out ? py::object(out->to_python()) : py::none();
    } catch (const interrupted&) {
      corpus.reset();
      model_.reset();
      throw py::error_already_set();
    } catch (...) {
      corpus.reset();
      model_.reset();
      throw;
    }
  }

  // The bags of other documents, as vok-apply writes them from the model:
  // (data, indices, indptr).  With threads > 1 each batch of documents is
  // shared out among that many threads, in order.
  py::tuple transform(const py::handle& documents, int threads) {
    const vok_model* model = fitted();
    py::object iterator = iterate(documents);
    const size_t columns = static_cast<size_t>(vok_model_features(model));
    rows out(columns);
    batch b;
    size_t next = 0;
    while (next_batch(iterator.ptr(), &b, &next)) {
      const size_t n = b.text.size();
      const size_t parts = std::min<size_t>(static_cast<size_t>(std::max(threads, 1)), n);
      std::vector<std::unique_ptr<rows>> pieces;
      for (size_t p = 0; p < parts; ++p) pieces.push_back(std::make_unique<rows>(columns));
      std::unique_ptr<bool[]> failed(new bool[parts]());
      {
        py::gil_scoped_release nogil;
        std::vector<std::thread> helpers;
        for (size_t p = 1; p < parts; ++p)
          helpers.emplace_back(transform_piece, model, std::cref(b), n * p / parts,
                               n * (p + 1) / parts, pieces[p].get(), &failed[p]);
        transform_piece(model, b, 0, n / parts, pieces[0].get(), &failed[0]);
        for (std::thread& t : helpers) t.join();
      }
      for (size_t p = 0; p < parts; ++p) {
        if (failed[p]) throw out_of_memory("no memory to match the documents");
        out.append(*pieces[p]);
      }
    }
    return out.to_python();
  }

  // The feature numbers, ascending (one per column).
  py::array_t<int64_t> feature_numbers() const {
    const vok_model* model = fitted();
    py::array_t<int64_t> numbers(static_cast<py::ssize_t>(vok_model_features(model)));
    static_assert(sizeof(int64_t) == sizeof(uint64_t), "numbers are written in place");
    vok_model_numbers(model, reinterpret_cast<uint64_t*>(numbers.mutable_data()));
    return numbers;
  }

  // The path label of every feature (the longest substring of its class),
  // by column, decoded from UTF-8 with surrogateescape.
  py::list feature_labels() const {
    const vok_model* model = fitted();
    py::list names(static_cast<py::ssize_t>(vok_model_features(model)));
    struct filling {
      PyObject* list;
      py::ssize_t next;
      bool failed;
    } f{names.ptr(), 0, false};
    if (!vok_model_each_feature(
            model,
            [](void* data, const vok_feature& feature) {
              auto* f = static_cast<filling*>(data);
              if (f->failed) return;
              PyObject* s = PyUnicode_DecodeUTF8(feature.label,
                                                 static_cast<Py_ssize_t>(feature.label_len),
                                                 "surrogateescape");
              if (!s) {
                f->failed = true;
                return;
              }
              PyList_SET_ITEM(f->list, f->next++, s);
            },
            &f))
      throw out_of_memory("no memory to name the features");
    if (f.failed) throw py::error_already_set();
    return names;
  }

  // The model file's bytes.
  py::bytes to_bytes() const {
    size_t size;
    const void* bytes = vok_model_bytes(fitted(), &size);
    return py::bytes(static_cast<const char*>(bytes), size);
  }

  py::tuple settings() const {
    return py::make_tuple(settings_.word_delimited, settings_.min_freq,
                          settings_.max_freq, settings_.min_branches,
                          settings_.max_parent_prob, settings_.max_link_prob,
                          settings_.min_df, settings_.min_df_share, settings_.max_df,
                          settings_.max_df_share, settings_.max_features, settings_.utf8,
                          settings_.lowercase, settings_.max_shortest);
  }
  uint64_t num_features() const { return vok_model_features(fitted()); }
  uint64_t model_bytes() const {
    size_t size;
    vok_model_bytes(fitted(), &size);
    return size;
  }

 private:
  const vok_model* fitted() const {
    if (!model_) throw py::value_error("the Model is not fitted");
    return model_.get();
  }

  // Stores one document (pool mutex held, no GIL).
  static void append(vok_corpus* c, const char* text, size_t len) {
    switch (vok_corpus_append(c, text, len)) {
      case VOK_OK: return;
      case VOK_TOO_MANY_DOCS: throw py::value_error("more documents than a tree holds");
      default:
        throw out_of_memory("no memory to store document " + std::to_string(vok_corpus_num_docs(c)));
    }
  }

  // Builds the tree and selects the features (pool mutex held, no GIL).
  static void build(vok_corpus* c, signal_check* signals) {
    const vok_hook hook = signals->hook();
    const vok_status built = vok_corpus_build(c, &hook);
    if (built == VOK_STOPPED) throw interrupted();
    if (built == VOK_REFUSED)
      throw out_of_memory("no memory to add document " +
                          std::to_string(vok_corpus_failed_doc(c)) + " to the tree");
    if (built != VOK_OK) throw out_of_memory("no memory to build the tree");
    const vok_status selected = vok_corpus_select(c, VOK_READ_MODEL, &hook);
    if (selected == VOK_STOPPED) throw interrupted();
    if (selected != VOK_OK) throw out_of_memory("no memory to select the features");
  }

  // The bags of the stored documents (pool mutex held, no GIL).
  // The bags of the stored documents, 1024 at a time: a batch is split
  // into `threads` contiguous parts, each made into rows of its own on a
  // thread of its own, and the parts' rows are appended in order.
  std::unique_ptr<rows> training_bags(const vok_corpus* c, signal_check* signals, int threads) {
    const size_t columns = static_cast<size_t>(vok_model_features(model_.get()));
    auto out = std::make_unique<rows>(columns);
    const auto n = static_cast<int64_t>(vok_corpus_num_docs(c));
    constexpr int64_t kBatch = 1024;
    for (int64_t first = 0; first < n; first += kBatch) {
      signals->now();
      const int64_t count = std::min(kBatch, n - first);
      const int parts = static_cast<int>(std::min<int64_t>(threads, count));
      if (parts == 1) {
        stored_bags(c, first, first + count, out.get());
        continue;
      }
      std::vector<std::unique_ptr<rows>> pieces;
      for (int k = 0; k < parts; ++k) pieces.push_back(std::make_unique<rows>(columns));
      std::unique_ptr<bool[]> failed(new bool[static_cast<size_t>(parts)]());
      stree_run_parts(parts, [&](int k) {
        try {
          stored_bags(c, first + stree_part_start(count, parts, k),
                      first + stree_part_start(count, parts, k + 1), pieces[static_cast<size_t>(k)].get());
        } catch (...) {
          failed[static_cast<size_t>(k)] = true;
        }
      });
      for (int k = 0; k < parts; ++k) {
        if (failed[static_cast<size_t>(k)]) throw out_of_memory("no memory for the bags");
        out->append(*pieces[static_cast<size_t>(k)]);
      }
    }
    return out;
  }

  // The rows of stored documents [from, to) into *out.
  static void stored_bags(const vok_corpus* c, int64_t from, int64_t to, rows* out) {
    const vok_sink sink = out->sink();
    for (int64_t k = from; k < to; ++k) {
      vok_corpus_bag(c, static_cast<uint64_t>(k), sink);
      out->end_row();
    }
  }

  vok_settings settings_;
  std::shared_ptr<const vok_model> model_;  // immutable once made
  bool started_ = false;
};

// The first setting out of its range, as (name, rule), or None.
py::object settings_fault(const vok_settings& settings) {
  const vok_setting_fault f = vok_settings_fault(settings);
  if (!f.name) return py::none();
  return py::make_tuple(f.name, f.rule);
}

}  // namespace

PYBIND11_MODULE(_vok, m) {
  m.doc() = "vok's core on the wide suffix tree (internal).";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const out_of_memory& e) {
      PyErr_SetString(PyExc_MemoryError, e.what());
    }
  });

  py::class_<Model>(m, "Model")
      .def(py::init([](long word_delimited, long min_freq, long max_freq, long min_branches,
                       double max_parent_prob, double max_link_prob, double min_df,
                       bool min_df_share, double max_df, bool max_df_share, long max_features,
                       bool utf8, int lowercase, long max_shortest) {
             return new Model(settings_of(word_delimited, min_freq, max_freq, min_branches,
                                          max_parent_prob, max_link_prob, min_df, min_df_share,
                                          max_df, max_df_share, max_features, utf8, lowercase,
                                          max_shortest));
           }),
           py::arg("word_delimited"), py::arg("min_freq"), py::arg("max_freq"),
           py::arg("min_branches"), py::arg("max_parent_prob"),
           py::arg("max_link_prob"), py::arg("min_df") = 1.0, py::arg("min_df_share") = false,
           py::arg("max_df") = 1.0, py::arg("max_df_share") = true, py::arg("max_features") = 0,
           py::arg("utf8") = false, py::arg("lowercase") = 0, py::arg("max_shortest") = 0)
      .def_static("from_bytes", &Model::from_bytes, py::arg("bytes"))
      .def("fit", &Model::fit, py::arg("documents"), py::arg("with_matrix"),
           py::arg("threads") = 1)
      .def("transform", &Model::transform, py::arg("documents"), py::arg("threads") = 1)
      .def("feature_numbers", &Model::feature_numbers)
      .def("feature_labels", &Model::feature_labels)
      .def("to_bytes", &Model::to_bytes)
      .def_property_readonly("settings", &Model::settings)
      .def_property_readonly("num_features", &Model::num_features)
      .def_property_readonly("model_bytes", &Model::model_bytes);

  m.def(
      "settings_fault",
      [](long word_delimited, long min_freq, long max_freq, long min_branches,
         double max_parent_prob, double max_link_prob, double min_df, bool min_df_share,
         double max_df, bool max_df_share, long max_features, bool utf8, int lowercase,
         long max_shortest) {
        return settings_fault(settings_of(word_delimited, min_freq, max_freq, min_branches,
                                          max_parent_prob, max_link_prob, min_df, min_df_share,
                                          max_df, max_df_share, max_features, utf8, lowercase,
                                          max_shortest));
      },
      py::arg("word_delimited"), py::arg("min_freq"), py::arg("max_freq"),
      py::arg("min_branches"), py::arg("max_parent_prob"), py::arg("max_link_prob"),
      py::arg("min_df") = 1.0, py::arg("min_df_share") = false, py::arg("max_df") = 1.0,
      py::arg("max_df_share") = true, py::arg("max_features") = 0, py::arg("utf8") = false,
      py::arg("lowercase") = 0, py::arg("max_shortest") = 0);

  // Test hooks: from the n-th record request of the node pool from now on,
  // every request fails (0 disarms); the requests made since the process
  // started; the pool pages in use.
  m.def("_fail_from", [](long n) { briefly_with_pool([n] { vok_testing_fail_from(true, n); }); });
  m.def("_pool_requests", [] {
    long n = 0;
    briefly_with_pool([&n] { n = vok_testing_requests(true); });
    return n;
  });
  m.def("_pages_in_use", [] {
    long n = 0;
    briefly_with_pool([&n] { n = vok_testing_pages(true); });
    return n;
  });
}
