// The dictionary: one line per feature, as the core lists them.
#include "dict.h"

#include "emitting.h"

namespace {

const char kHexDigits[] = "0123456789abcdef";

void put_decimal(vok_writer* out, uint32_t n) {
  char tmp[10];
  int k = 0;
  do {
    tmp[k++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  while (k > 0) vok_writer_put(out, tmp[--k]);
}

// The features come in ascending number, so the lines come out sorted.
void write_entry(void* data, const vok_feature& f) {
  auto* out = static_cast<vok_writer*>(data);
  vok_writer_hex(out, f.number);
  vok_writer_put(out, '\t');
  put_decimal(out, f.count);
  vok_writer_put(out, '\t');
  put_decimal(out, f.children);
  vok_writer_put(out, '\t');
  dict_escape(out, f.label, f.label_len);
  vok_writer_put(out, '\n');
}

}  // namespace

void dict_escape(vok_writer* out, const char* text, size_t len) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  for (size_t i = 0; i < len; ++i) {
    const unsigned char c = bytes[i];
    const char* escape = nullptr;
    switch (c) {
      case '\\': escape = "\\\\"; break;
      case '\t': escape = "\\t"; break;
      case '\r': escape = "\\r"; break;
      case '\n': escape = "\\n"; break;
      default: break;
    }
    if (escape) {
      vok_writer_put(out, escape[0]);
      vok_writer_put(out, escape[1]);
    } else if (size_t n = vok_utf8_sequence(bytes + i, len - i)) {
      for (size_t k = 0; k < n; ++k) vok_writer_put(out, text[i + k]);
      i += n - 1;
    } else if (c < 32 || c >= 127) {
      vok_writer_put(out, '\\');
      vok_writer_put(out, 'x');
      vok_writer_put(out, kHexDigits[c >> 4]);
      vok_writer_put(out, kHexDigits[c & 0xf]);
    } else {
      vok_writer_put(out, static_cast<char>(c));
    }
  }
}

void write_dictionary(const vok_corpus* corpus, vok_writer* out) {
  vok_corpus_each_feature(corpus, write_entry, out);
}
