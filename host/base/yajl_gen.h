#ifndef HOST_YAJL_GEN_H
#define HOST_YAJL_GEN_H

#include <cstddef>
#include <string>

struct yajl_gen_t;

// Writes JSON values into a YAJL generator that it borrows: the generator
// must outlive this object and is never freed by it. Each write answers true
// when YAJL accepted it; once a write fails the generator stays in error and
// later writes fail too. Not thread-safe (as the generator is not).
class YAJL_Gen {
 public:
  // A borrowed text: pointer and length, valid for the duration of one call.
  struct Str {
    Str(const char* p) : ptr(p), len(p != nullptr ? std::char_traits<char>::length(p) : 0) {}
    Str(const char* p, std::size_t n) : ptr(p), len(n) {}
    Str(const std::string& s) : ptr(s.data()), len(s.size()) {}
    const char* ptr;
    std::size_t len;
  };

  explicit YAJL_Gen(yajl_gen_t* gen) : gen_(gen) {}

  yajl_gen_t* get() const { return gen_; }

  bool string(Str s);
  bool integer(long long v);
  // Written as its decimal text, so every 64-bit value keeps all its digits.
  bool uinteger(unsigned long long v);
  // A number given as its JSON text (not checked).
  bool number(Str text);
  bool boolean(bool v);

  // A map member: the key, then its value.
  bool string(Str key, Str value) { return string(key) && string(value); }
  bool integer(Str key, long long v) { return string(key) && integer(v); }
  bool uinteger(Str key, unsigned long long v) { return string(key) && uinteger(v); }
  bool boolean(Str key, bool v) { return string(key) && boolean(v); }

  bool map_open();
  bool map_close();
  bool array_open();
  bool array_close();

 private:
  yajl_gen_t* gen_;
};

// Opens a map on construction and closes it on destruction (or at close()),
// so a map is closed on every way out of a scope.
class YAJL_Map_Guard {
 public:
  explicit YAJL_Map_Guard(YAJL_Gen& gen) : gen_(gen), ok_(gen.map_open()), open_(ok_) {}
  ~YAJL_Map_Guard() { close(); }
  YAJL_Map_Guard(const YAJL_Map_Guard&) = delete;
  YAJL_Map_Guard& operator=(const YAJL_Map_Guard&) = delete;
  bool ok() const { return ok_; }

  // Closes now rather than at the end of the scope (once); answers whether
  // the open and the close both succeeded.
  bool close() {
    if (open_) {
      open_ = false;
      ok_ = gen_.map_close() && ok_;
    }
    return ok_;
  }

 private:
  YAJL_Gen& gen_;
  bool ok_;
  bool open_;
};

// The array counterpart of YAJL_Map_Guard.
class YAJL_Array_Guard {
 public:
  explicit YAJL_Array_Guard(YAJL_Gen& gen) : gen_(gen), ok_(gen.array_open()), open_(ok_) {}
  ~YAJL_Array_Guard() { close(); }
  YAJL_Array_Guard(const YAJL_Array_Guard&) = delete;
  YAJL_Array_Guard& operator=(const YAJL_Array_Guard&) = delete;
  bool ok() const { return ok_; }

  // Closes now rather than at the end of the scope (once); answers whether
  // the open and the close both succeeded.
  bool close() {
    if (open_) {
      open_ = false;
      ok_ = gen_.array_close() && ok_;
    }
    return ok_;
  }

 private:
  YAJL_Gen& gen_;
  bool ok_;
  bool open_;
};

#endif
