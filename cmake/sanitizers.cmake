# Sanitizer builds.
#
# KORVAN_SANITIZE: every target with AddressSanitizer and UndefinedBehavior-
#   Sanitizer, alignment checks included, stopping at the first report. An
#   access through a pointer to a misaligned packed member fails here, before
#   it faults on ARM. Works with g++ (which also links the plug-in with the
#   sanitizer runtime, as its --no-undefined link needs).
# KORVAN_TSAN: every target with ThreadSanitizer (not with the others), for
#   the tests that start threads and the processes they start.
# KORVAN_FUZZ: the same checks plus libFuzzer's coverage instrumentation, for
#   the fuzz targets of fuzz/. Needs clang.
set(korvan_sanitizer_flags
  -fsanitize=address,undefined,alignment
  -fno-sanitize-recover=all
  -fno-omit-frame-pointer)

if(KORVAN_SANITIZE OR KORVAN_FUZZ)
  add_compile_options(${korvan_sanitizer_flags})
  add_link_options(-fsanitize=address,undefined)
endif()

if(KORVAN_TSAN)
  if(KORVAN_SANITIZE OR KORVAN_FUZZ)
    message(FATAL_ERROR "KORVAN_TSAN does not combine with KORVAN_SANITIZE or KORVAN_FUZZ")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(KORVAN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KORVAN_FUZZ needs clang: -DCMAKE_CXX_COMPILER=clang++")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
