#ifndef TESTS_SUPPORT_JSON_GEN_H
#define TESTS_SUPPORT_JSON_GEN_H

#include <functional>
#include <string>

struct yajl_gen_t;

// Runs write on a fresh YAJL generator and answers the JSON text it
// produced. *status, if given, receives write's answer.
std::string generate_json(const std::function<int(yajl_gen_t*)>& write, int* status = nullptr);

#endif
