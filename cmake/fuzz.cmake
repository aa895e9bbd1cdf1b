# The fuzz harnesses are built in the sanitizer build, so that the code is
# compiled twice in all (plain, and sanitized), not three times. With
# PLEMOX_FUZZ every library is also compiled with libFuzzer's coverage
# instrumentation (-fsanitize=fuzzer-no-link): a harness then sees the
# coverage of everything below it, and the test executables, which do not
# link libFuzzer, run with the sanitizer runtime's no-op coverage hooks (test
# code itself is compiled without it, tests/CMakeLists.txt). Only
# the harnesses (tests/fuzz) link the libFuzzer driver. Needs clang and its
# compiler-rt.
if(PLEMOX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "PLEMOX_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)"
                        ", not ${CMAKE_CXX_COMPILER_ID}")
  endif()
  if(NOT PLEMOX_SANITIZE)
    message(FATAL_ERROR "PLEMOX_FUZZ is built with the sanitizers: add -DPLEMOX_SANITIZE=ON")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
