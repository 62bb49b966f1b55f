#ifndef OSCAR_ARG_CHECK_H
#define OSCAR_ARG_CHECK_H

#include <ace/Log_Msg.h>

// Argument checks of the module's functions: a required text that is null
// or empty (or a required pointer that is null) is logged once at
// LM_EMERGENCY with the place of the check and a stack trace, and the
// function returns `failure` at once without side effects.
#define OSCAR_CHECK_TEXT_ARG(arg, failure)                                                               \
  do {                                                                                                   \
    if ((arg) == nullptr || *(arg) == '\0') {                                                            \
      ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, " #arg " is NULL or \"\":\n%?\n"))); \
      return failure;                                                                                    \
    }                                                                                                    \
  } while (0)

#define OSCAR_CHECK_PTR_ARG(arg, failure)                                                        \
  do {                                                                                           \
    if ((arg) == nullptr) {                                                                      \
      ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, " #arg " is NULL:\n%?\n"))); \
      return failure;                                                                            \
    }                                                                                            \
  } while (0)

#endif
