#ifndef TOLLIX_KEY_VALUE_H
#define TOLLIX_KEY_VALUE_H

#include <cstddef>
#include <cstring>

// One row of a keyword table: a keyword, its length in bytes and the value
// it stands for. A table is an array of rows closed by a row whose key is
// null. Tables are static and read-only, so look-ups are thread-safe.
template <typename V>
struct Key2_Value_T {
  const char* key;
  std::size_t len;
  V value;
};

// The row whose keyword is exactly name[0, length) (case-sensitive; a
// prefix of a keyword does not match). Answers the closing row (null key)
// when nothing matches.
template <typename V>
const Key2_Value_T<V>* get_key_value_entry(const Key2_Value_T<V>* table, const char* name, std::size_t length) {
  for (; table->key != nullptr; ++table) {
    if (table->len == length && name != nullptr && std::memcmp(table->key, name, length) == 0) break;
  }
  return table;
}

// The first row holding value; the closing row (null key) when none does.
template <typename V>
const Key2_Value_T<V>* get_key_value_entry(const Key2_Value_T<V>* table, V value) {
  for (; table->key != nullptr; ++table) {
    if (table->value == value) break;
  }
  return table;
}

#endif
