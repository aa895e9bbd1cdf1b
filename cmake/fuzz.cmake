# The fuzzing build: every library is instrumented for libFuzzer's coverage
# and for AddressSanitizer and UndefinedBehaviorSanitizer, so that a fault
# anywhere below a harness is found; the harnesses themselves link the
# libFuzzer driver (tests/fuzz). Needs clang and its compiler-rt.
if(PLEMOX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "PLEMOX_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)"
                        ", not ${CMAKE_CXX_COMPILER_ID}")
  endif()
  if(PLEMOX_SANITIZE)
    message(FATAL_ERROR "PLEMOX_FUZZ already sanitizes; leave PLEMOX_SANITIZE off")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                      -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
