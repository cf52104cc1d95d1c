# The checking build: every C++ target with AddressSanitizer and
# UndefinedBehaviorSanitizer, and any report ends the program that made it.
#
# The interpreter that runs the Python-level tests is not built here: it gets
# the sanitizer runtime preloaded (LD_PRELOAD), its allocations go through
# malloc so that the modules' use of its memory is checked too, and leak
# checks are off in it (the runtime keeps memory to the end on purpose).
# Reports are written to files under sanitizer-reports/ in the build folder;
# test.sh fails when any is there, also for a program whose exit status a
# test expected to be non-zero.

set(VYR_SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # One shared runtime for the programs, the modules and the preloaded interpreter.
  list(APPEND VYR_SANITIZE_FLAGS -shared-libsan)
  set(VYR_SANITIZER_LIBRARIES libclang_rt.asan-x86_64.so)
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(VYR_SANITIZER_LIBRARIES libasan.so libubsan.so)
else()
  message(FATAL_ERROR "VYR_SANITIZE needs clang or g++")
endif()
add_compile_options(${VYR_SANITIZE_FLAGS})
add_link_options(${VYR_SANITIZE_FLAGS})
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # The shared runtime is not in the loader's search path.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-runtime-dir
                  OUTPUT_VARIABLE VYR_SANITIZER_RUNTIME_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
  add_link_options(-Wl,-rpath,${VYR_SANITIZER_RUNTIME_DIR})
endif()

set(VYR_SANITIZER_PRELOAD)
foreach(lib ${VYR_SANITIZER_LIBRARIES})
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${lib}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "The sanitizer runtime ${lib} was not found (${path})")
  endif()
  list(APPEND VYR_SANITIZER_PRELOAD ${path})
endforeach()
string(REPLACE ";" ":" VYR_SANITIZER_PRELOAD "${VYR_SANITIZER_PRELOAD}")

set(VYR_SANITIZER_REPORTS ${CMAKE_BINARY_DIR}/sanitizer-reports)
set(VYR_SANITIZER_SUPPRESSIONS ${CMAKE_CURRENT_LIST_DIR}/lsan.supp)
set(vyr_common_options "halt_on_error=1:exitcode=86:log_path=${VYR_SANITIZER_REPORTS}/report")
set(VYR_ASAN_OPTIONS "${vyr_common_options}:detect_leaks=1:check_initialization_order=1:detect_stack_use_after_return=1")
set(VYR_UBSAN_OPTIONS "${vyr_common_options}:print_stacktrace=1")
set(VYR_LSAN_OPTIONS "suppressions=${VYR_SANITIZER_SUPPRESSIONS}:print_suppressions=0")

# Every test of this build folder runs with these options (ctest reads this
# file before it starts any test).
file(WRITE ${CMAKE_BINARY_DIR}/sanitizer_env.cmake
  "set(ENV{ASAN_OPTIONS} \"${VYR_ASAN_OPTIONS}\")\n"
  "set(ENV{UBSAN_OPTIONS} \"${VYR_UBSAN_OPTIONS}\")\n"
  "set(ENV{LSAN_OPTIONS} \"${VYR_LSAN_OPTIONS}\")\n"
  "file(MAKE_DIRECTORY \"${VYR_SANITIZER_REPORTS}\")\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/sanitizer_env.cmake)
# The same for a shell that runs the programs by hand (scripts/fuzz.sh).
file(WRITE ${CMAKE_BINARY_DIR}/sanitizer_env.sh
  "export ASAN_OPTIONS='${VYR_ASAN_OPTIONS}'\n"
  "export UBSAN_OPTIONS='${VYR_UBSAN_OPTIONS}'\n"
  "export LSAN_OPTIONS='${VYR_LSAN_OPTIONS}'\n"
  "mkdir -p '${VYR_SANITIZER_REPORTS}'\n")

# Test programs are asked for their test lists when ctest runs, with the
# options above, not right after they are linked.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# What a test that runs the interpreter adds to its environment.
set(VYR_SANITIZER_PYTHON_ENV
  "LD_PRELOAD=${VYR_SANITIZER_PRELOAD}"
  "ASAN_OPTIONS=${VYR_ASAN_OPTIONS}:detect_leaks=0"
  "PYTHONMALLOC=malloc")
