# libFuzzer targets (clang). Each one is also a test labelled "fuzz" that
# tries a fixed number of inputs, starting from its seed corpus in the source
# tree (read only) and its own corpus in the build folder, which keeps what
# earlier runs found. scripts/fuzz.sh runs them for longer.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "VYR_FUZZ needs clang (libFuzzer); configure with CXX=clang++")
endif()

set(VYR_FUZZ_DIR ${CMAKE_BINARY_DIR}/fuzz)

# Coverage feedback from a library that fuzz targets call.
function(vyr_fuzz_instrument target)
  target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
endfunction()

# vyr_add_fuzzer(NAME SOURCE file CORPUS folder RUNS n MAX_LEN bytes LIBRARIES ...)
function(vyr_add_fuzzer name)
  cmake_parse_arguments(F "" "SOURCE;CORPUS;RUNS;MAX_LEN" "LIBRARIES" ${ARGN})
  add_executable(${name} ${F_SOURCE})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  if(VYR_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # A fuzz target loads no module, and its libFuzzer would put the C++
    # library ahead of a shared sanitizer runtime: it takes the runtime in.
    target_link_options(${name} PRIVATE -static-libsan)
  endif()
  target_link_libraries(${name} PRIVATE ${F_LIBRARIES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VYR_FUZZ_DIR})

  set(work ${VYR_FUZZ_DIR}/${name}.corpus)
  file(MAKE_DIRECTORY ${work})
  get_filename_component(seeds ${F_CORPUS} ABSOLUTE)
  add_test(NAME ${name}
           COMMAND ${name} -runs=${F_RUNS} -seed=1 -max_len=${F_MAX_LEN} -timeout=20
                   -print_final_stats=1 -artifact_prefix=${VYR_FUZZ_DIR}/${name}- ${work} ${seeds})
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 600)
  # What scripts/fuzz.sh needs to run it for longer.
  file(WRITE ${VYR_FUZZ_DIR}/${name}.args "-max_len=${F_MAX_LEN}\n${work}\n${seeds}\n")
endfunction()
